// Wide text to and from Qt's strings, unit for unit. QString::fromUtf16 takes
// a leading U+FEFF for a byte-order mark and drops it, so a text that begins
// with one would lose it on the way into a window and back.
#ifndef TARNVEX_UI_QT_TEXT_H_
#define TARNVEX_UI_QT_TEXT_H_

#include <QString>
#include <string>

namespace ui {

inline QString ToQt(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()),
                 static_cast<qsizetype>(text.size()));
}

inline std::u16string FromQt(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

}  // namespace ui

#endif  // TARNVEX_UI_QT_TEXT_H_
