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
#include <mutex>
#include <sstream>

#include "device/codepage.h"
#include "device/files.h"

namespace device {
namespace {

std::mutex& RootMutex() {
  static std::mutex m;
  return m;
}
std::string& RootOverride() {
  static std::string s;
  return s;
}

std::string StripTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// Characters the phone's file system refuses in a name.
bool ReservedCharacter(char16_t c) {
  return c < 0x20 || c == u'?' || c == u'*' || c == u'<' || c == u'>' ||
         c == u'|' || c == u'"' || c == u':';
}

// Card names end up in the program's narrow paths, made both with code page
// 1252 and by keeping low bytes; only characters that both keep unchanged
// can be part of them.
bool NarrowPathCharacter(char16_t c) {
  return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF);
}

bool WriteCardList(const std::vector<std::u16string>& cards,
                   std::string* error) {
  std::string path = CardListPath();
  std::string text;
  for (const auto& c : cards) text += WideToUtf8(c) + '\n';
  if (!WritePrivateFile(path, text)) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

// The folders that keep other users out of the whole image.
std::vector<std::string> GuardFolders() {
  return {ImageRoot(), DeviceDataDir(), RunDir()};
}

}  // namespace

std::string ImageRoot() {
  {
    std::lock_guard<std::mutex> lock(RootMutex());
    if (!RootOverride().empty()) return RootOverride();
  }
  const char* env = std::getenv("TARNVEX_DEVICE");
  if (env != nullptr && *env != '\0') return StripTrailingSlash(env);
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg != nullptr && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home != nullptr ? home : "") + "/.local/share";
  }
  return StripTrailingSlash(base) + "/tarnvex/device";
}

void SetImageRoot(const std::string& host_dir) {
  std::string dir = host_dir;
  if (!dir.empty()) {
    std::error_code ec;
    auto abs = std::filesystem::absolute(dir, ec);
    if (!ec) dir = abs.lexically_normal().string();
    dir = StripTrailingSlash(dir);
  }
  std::lock_guard<std::mutex> lock(RootMutex());
  RootOverride() = dir;
}

std::string DeviceDataDir() { return ImageRoot() + "/.device"; }
std::string RunDir() { return DeviceDataDir() + "/run"; }
std::string CardListPath() { return DeviceDataDir() + "/cards"; }
std::string MessageServicePath() { return DeviceDataDir() + "/messages.db"; }

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

bool InitImage(std::string* error) {
  const std::string root = ImageRoot();
  for (const std::string& dir :
       {root, root + "/Program Files", root + "/Windows",
        root + "/My Documents", DeviceDataDir(), RunDir()}) {
    if (!EnsurePrivateDir(dir)) {
      if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(CardListPath().c_str(), &st) != 0) return WriteCardList({}, error);
  return true;
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

bool AddStorageCard(std::u16string_view name, std::string* error) {
  if (!ValidCardName(name, error)) return false;
  if (!ImageExists() && !InitImage(error)) return false;
  std::vector<std::u16string> cards = StorageCards();
  for (const auto& c : cards) {
    if (c == name) {
      if (error)
        *error = "card \"" + WideToUtf8(name) + "\" is already in the list";
      return false;
    }
  }
  std::string dir = ImageRoot() + "/" + WideToUtf8(name);
  if (!EnsurePrivateDir(dir)) {
    if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  cards.emplace_back(name);
  return WriteCardList(cards, error);
}

bool RemoveStorageCard(std::u16string_view name, std::string* error) {
  std::vector<std::u16string> cards = StorageCards();
  for (auto it = cards.begin(); it != cards.end(); ++it) {
    if (*it == name) {
      cards.erase(it);
      return WriteCardList(cards, error);
    }
  }
  if (error) *error = "no card \"" + WideToUtf8(name) + "\" in the list";
  return false;
}

}  // namespace device
