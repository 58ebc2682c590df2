// Texts from outside the program isolated for display (U+2068 ... U+2069
// around them, closing any isolate the text leaves open, dropping a stray
// close), and the isolates taken off again.
#include "ui/bidi.h"

#include <algorithm>

#include "ui/qt_text.h"

namespace ui {
namespace {

// U+2066 LEFT-TO-RIGHT ISOLATE, U+2067 RIGHT-TO-LEFT ISOLATE, U+2068 FIRST
// STRONG ISOLATE open a run; U+2069 closes the innermost one.
bool OpensIsolate(char16_t c) { return c >= u'\u2066' && c <= u'\u2068'; }

}  // namespace

std::u16string Isolated(const std::u16string& text) {
  if (text.empty()) return text;
  std::u16string out;
  out.reserve(text.size() + 2);
  out.push_back(kFirstStrongIsolate);
  int open = 0;
  for (char16_t c : text) {
    if (OpensIsolate(c)) {
      ++open;
    } else if (c == kPopDirectionalIsolate) {
      if (open == 0) continue;
      --open;
    }
    out.push_back(c);
  }
  out.append(static_cast<size_t>(open), kPopDirectionalIsolate);
  out.push_back(kPopDirectionalIsolate);
  return out;
}

QString Isolated(const QString& text) { return ToQt(Isolated(FromQt(text))); }

std::u16string WithoutIsolates(std::u16string text) {
  text.erase(std::remove_if(text.begin(), text.end(),
                            [](char16_t c) {
                              return OpensIsolate(c) ||
                                     c == kPopDirectionalIsolate;
                            }),
             text.end());
  return text;
}

}  // namespace ui
