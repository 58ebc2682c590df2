// The header block of a message as bytes (where it ends, its Bcc fields)
// and the addresses of its address fields, groups flattened.
#include "mail/mime/header_fields.h"

#include <string>
#include <utility>

#include "mail/mime/charsets.h"
#include "mail/mime/mime_library.h"
#include "mail/mime/mime_message.h"

namespace mail {
namespace {

bool IsBccField(std::string_view line) {
  if (line.size() < 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != "bcc"[i]) return false;
  }
  size_t i = 3;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  return i < line.size() && line[i] == ':';
}

// Groups never nest in RFC 5322; a bound keeps a lenient parse harmless.
constexpr int kMaxGroupDepth = 4;

}  // namespace

size_t HeaderBlockEnd(std::string_view raw) {
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t nl = raw.find('\n', pos);
    size_t end = nl == std::string_view::npos ? raw.size() : nl;
    if (end == pos || (end == pos + 1 && raw[pos] == '\r')) return pos;
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return raw.size();
}

std::string CleanAddress(const char* addr) {
  std::string out;
  for (const char* p = addr; *p != '\0'; ++p) {
    if (*p != '\r' && *p != '\n') out.push_back(*p);
  }
  return RepairUtf8(out);
}

void FlattenAddresses(InternetAddressList* list, int depth,
                      std::vector<std::string>* out) {
  if (list == nullptr || depth > kMaxGroupDepth) return;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* ia = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
      const char* addr =
          internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia));
      if (addr == nullptr) continue;
      std::string clean = CleanAddress(addr);
      if (!clean.empty()) out->push_back(std::move(clean));
    } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
      FlattenAddresses(
          internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)),
          depth + 1, out);
    }
  }
}

InternetAddressMailbox* FirstMailbox(InternetAddressList* list, int depth) {
  if (list == nullptr || depth > kMaxGroupDepth) return nullptr;
  const int count = internet_address_list_length(list);
  for (int i = 0; i < count; ++i) {
    InternetAddress* ia = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_MAILBOX(ia)) return INTERNET_ADDRESS_MAILBOX(ia);
    if (INTERNET_ADDRESS_IS_GROUP(ia)) {
      InternetAddressMailbox* m = FirstMailbox(
          internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)),
          depth + 1);
      if (m != nullptr) return m;
    }
  }
  return nullptr;
}

std::string WithoutBcc(std::string_view raw) {
  std::string out;
  AppendWithoutBcc(raw, &out);
  return out;
}

void AppendWithoutBcc(std::string_view raw, std::string* to) {
  const size_t header_end = HeaderBlockEnd(raw);
  std::string& out = *to;
  out.reserve(out.size() + raw.size());
  bool dropping = false;
  size_t pos = 0;
  while (pos < header_end) {
    size_t nl = raw.find('\n', pos);
    size_t end =
        nl == std::string_view::npos || nl >= header_end ? header_end : nl + 1;
    std::string_view line = raw.substr(pos, end - pos);
    // A line that begins with white space continues the field before it.
    if (line[0] != ' ' && line[0] != '\t') dropping = IsBccField(line);
    if (!dropping) out.append(line);
    pos = end;
  }
  out.append(raw.substr(header_end));
}

bool ParseAddressList(std::string_view header_value,
                      std::vector<std::string>* addresses) {
  addresses->clear();
  if (header_value.find('\0') != std::string_view::npos) return false;
  if (header_value.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    return true;
  }
  EnsureMimeLibrary();
  const std::string value(header_value);
  InternetAddressList* list =
      internet_address_list_parse(ParserOptions(), value.c_str());
  if (list == nullptr) return false;
  const bool any = internet_address_list_length(list) > 0;
  FlattenAddresses(list, 0, addresses);
  g_object_unref(list);
  return any;
}

}  // namespace mail
