// The device image: where its root is, mapping CE paths onto it, and the
// private modes its files are made with.
#include "device/image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "device/codepage.h"
#include "device/files.h"

namespace device {
namespace {

// Characters the phone's file system refuses in a name.
bool ReservedCharacter(char16_t c) {
  return c < 0x20 || c == u'?' || c == u'*' || c == u'<' || c == u'>' ||
         c == u'|' || c == u'"' || c == u':';
}

// Card names end up in the program's narrow paths; only characters that
// both code pages of the device keep (and whose low byte is the character
// itself, as older images' paths were made) can be part of them.
bool NarrowPathCharacter(char16_t c) {
  return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF);
}

base::Status WriteCardList(const std::vector<std::u16string>& cards) {
  std::string path = CardListPath();
  std::string text;
  for (const auto& c : cards) text += WideToUtf8(c) + '\n';
  if (!WritePrivateFile(path, text))
    return base::Status::IoError("cannot write " + path);
  return base::Status::Ok();
}

// The code page of an image is fixed when it is made: a new image gets the
// one asked for (else kNewImageCodePage), an image made before the setting
// existed gets 1252 written down, the form its records are in. Asking an
// existing image for another code page is refused: its records would read
// wrong.
base::Status SettleCodePage(bool fresh, int requested) {
  int current = 0;
  struct stat st;
  const bool stored = stat(CodePagePath().c_str(), &st) == 0;
  if (stored) {
    const base::StatusOr<int> read = ReadImageCodePage();
    if (!read.ok()) return read.status();
    current = *read;
  }
  if (!stored)
    current = fresh ? (requested != 0 ? requested : kNewImageCodePage)
                    : kCodePageWestern;
  if (requested != 0 && requested != current) {
    return base::Status::InvalidArgument(
        "the image at " + ImageRoot() + " keeps code page " +
        std::to_string(current) +
        ", the one its texts are stored in; make a new image for " +
        std::to_string(requested));
  }
  if (!stored &&
      !WritePrivateFile(CodePagePath(), std::to_string(current) + "\n")) {
    return base::Status::IoError("cannot write " + CodePagePath());
  }
  ForgetAnsiCodePage();
  return base::Status::Ok();
}

// The folders that keep other users out of the whole image.
std::vector<std::string> GuardFolders() {
  return {ImageRoot(), DeviceDataDir(), RunDir()};
}

}  // namespace

bool HostPath(std::u16string_view ce, std::string* host) {
  if (ce.empty() || ce[0] != u'\\' || ce.size() >= kMaxPath) return false;
  std::string out = ImageRoot();
  size_t i = 1;
  while (i <= ce.size()) {
    size_t j = ce.find(u'\\', i);
    if (j == std::u16string_view::npos) j = ce.size();
    std::u16string_view part = ce.substr(i, j - i);
    if (part == u"." || part == u"..") return false;
    if (!part.empty()) {
      if (!ValidCeName(part)) return false;
      out += '/';
      out += WideToUtf8(part);
    }
    i = j + 1;
  }
  *host = out;
  return true;
}

std::string HostPathOrEmpty(std::u16string_view ce) {
  std::string host;
  return HostPath(ce, &host) ? host : std::string();
}

std::u16string ProgramFilesFolder() { return kProgramFilesFolder; }

bool ImageExists() {
  struct stat st;
  return stat(DeviceDataDir().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void KeepImagePrivate() {
  umask(kPrivateFileMask);
  // An image made before it was private: the guard folders are enough to
  // keep others out of everything below them.
  for (const std::string& dir : GuardFolders()) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      NarrowToPrivate(dir);
  }
}

base::Status InitImage() { return InitImage(0); }

base::Status InitImage(int code_page) {
  if (code_page != 0 && !ValidCodePage(code_page)) {
    return base::Status::InvalidArgument(
        "code page " + std::to_string(code_page) +
        " is not one of 65001 (UTF-8) and 1252");
  }
  const bool fresh = !ImageExists();
  const std::string root = ImageRoot();
  for (const std::string& dir :
       {root, root + "/Program Files", root + "/Windows",
        root + "/My Documents", DeviceDataDir(), RunDir()}) {
    if (!EnsurePrivateDir(dir)) {
      return base::Status::IoError("cannot create " + dir + ": " +
                                   std::strerror(errno));
    }
  }
  if (base::Status settled = SettleCodePage(fresh, code_page); !settled.ok())
    return settled;
  struct stat st;
  if (stat(CardListPath().c_str(), &st) != 0) return WriteCardList({});
  return base::Status::Ok();
}

std::vector<std::u16string> StorageCards() {
  std::vector<std::u16string> cards;
  std::ifstream in(CardListPath(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    cards.push_back(Utf8ToWide(line));
  }
  return cards;
}

bool ValidCeName(std::u16string_view name) {
  if (name.empty()) return false;
  for (char16_t c : name)
    if (c == u'/' || c == u'\\' || ReservedCharacter(c)) return false;
  return name.back() != u'.' && name.back() != u' ';
}

bool ValidCardName(std::u16string_view name, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  const std::string quoted = "\"" + WideToUtf8(name) + "\"";
  if (name.empty()) return fail("a card name must not be empty");
  if (name.size() > kMaxCardName)
    return fail("a card name has at most 63 characters");
  if (name == u"." || name == u"..")
    return fail("a card name cannot be . or ..");
  for (char16_t c : name) {
    if (c == u'\\' || c == u'/' || ReservedCharacter(c)) {
      return fail("card name " + quoted +
                  " is refused: a card name cannot hold \\ / ? * < > | \" : or "
                  "a control "
                  "character");
    }
  }
  if (name.back() == u'.' || name.back() == u' ')
    return fail("card name " + quoted +
                " is refused: a name cannot end with a dot or a blank");
  for (char16_t c : name) {
    if (!NarrowPathCharacter(c)) {
      return fail("card name " + quoted + " is refused: \"" +
                  WideToUtf8(std::u16string_view(&c, 1)) +
                  "\" cannot be kept in Tarnvex's paths, which hold only "
                  "Western European "
                  "letters, digits and signs (U+0020-U+007E, U+00A0-U+00FF)");
    }
  }
  if (name == u".device") return fail("that name is reserved by the device");
  // The phone's names are compared without case; a card cannot take the
  // name of a folder of the main storage.
  for (std::u16string_view folder :
       {u"Program Files", u"Windows", u"My Documents"}) {
    bool same = folder.size() == name.size();
    for (size_t i = 0; same && i < name.size(); ++i) {
      char16_t a = name[i], b = folder[i];
      if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
      if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b - u'A' + u'a');
      same = a == b;
    }
    if (same)
      return fail("card name " + quoted +
                  " is refused: the main storage has that folder");
  }
  return true;
}

base::Status AddStorageCard(std::u16string_view name) {
  std::string why;
  if (!ValidCardName(name, &why)) return base::Status::InvalidArgument(why);
  if (!ImageExists()) {
    if (base::Status made = InitImage(); !made.ok()) return made;
  }
  std::vector<std::u16string> cards = StorageCards();
  for (const auto& c : cards) {
    if (c == name) {
      return base::Status::InvalidArgument("card \"" + WideToUtf8(name) +
                                           "\" is already in the list");
    }
  }
  std::string dir = ImageRoot() + "/" + WideToUtf8(name);
  if (!EnsurePrivateDir(dir)) {
    return base::Status::IoError("cannot create " + dir + ": " +
                                 std::strerror(errno));
  }
  cards.emplace_back(name);
  return WriteCardList(cards);
}

base::Status RemoveStorageCard(std::u16string_view name) {
  std::vector<std::u16string> cards = StorageCards();
  for (auto it = cards.begin(); it != cards.end(); ++it) {
    if (*it == name) {
      cards.erase(it);
      return WriteCardList(cards);
    }
  }
  return base::Status::NotFound("no card \"" + WideToUtf8(name) +
                                "\" in the list");
}

}  // namespace device
