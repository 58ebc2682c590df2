// A message as the mail path receives it, read for the store's record and
// kept for delivery less its Bcc fields. The input is the raw message.
//
// Checked: the kept message is never longer than the input, keeping it again
// changes nothing, and read again it names no Bcc recipient; every address
// read is free of CR, LF and NUL; subject, sender name and text are valid
// UTF-8; an address list read on its own is as clean; the HTML reader keeps
// valid UTF-8 valid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mime/mime_message.h"

namespace {

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t code;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return false;
      code = (code << 6) | (b & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[len] || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

void CheckAddress(const std::string& address) {
  if (address.find_first_of(std::string_view("\r\n\0", 3)) !=
      std::string::npos) {
    std::abort();
  }
  if (!ValidUtf8(address)) std::abort();
}

void CheckRead(const mail::ReadMail& m) {
  CheckAddress(m.from);
  for (const auto* list : {&m.to, &m.cc, &m.bcc}) {
    for (const std::string& address : *list) {
      if (address.empty()) std::abort();
      CheckAddress(address);
    }
  }
  if (!ValidUtf8(m.subject) || !ValidUtf8(m.from_name) || !ValidUtf8(m.text)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);

  mail::ReadMail m;
  std::string error;
  if (mail::ReadMessage(raw, &m, &error)) {
    if (!error.empty()) std::abort();
    CheckRead(m);
  } else if (error.empty()) {
    std::abort();
  }

  const std::string kept = mail::WithoutBcc(raw);
  if (kept.size() > raw.size()) std::abort();
  if (mail::WithoutBcc(kept) != kept) std::abort();
  mail::ReadMail read_kept;
  if (mail::ReadMessage(kept, &read_kept, &error)) {
    CheckRead(read_kept);
    if (!read_kept.bcc.empty()) std::abort();
  }

  std::vector<std::string> addresses;
  const std::string_view value = raw.substr(0, raw.find('\n'));
  mail::ParseAddressList(value, &addresses);
  for (const std::string& address : addresses) CheckAddress(address);

  if (ValidUtf8(raw) && !ValidUtf8(mail::HtmlToText(raw))) std::abort();
  return 0;
}
