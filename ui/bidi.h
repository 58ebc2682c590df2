// Texts that come from outside the program's own words (a message, a rule,
// the clock) are shown as isolated runs: U+2068 FIRST STRONG ISOLATE before
// them and U+2069 POP DIRECTIONAL ISOLATE after. An isolated run takes its
// direction from its own first letter and keeps it whatever the window's
// direction, so "Anna <anna@example.org>" stays as written in an Arabic
// window and an Arabic sentence reads right to left in an English one. The
// run also contains whatever direction marks the text carries itself, so a
// subject cannot reorder what is shown after it.
//
// Only what is shown is isolated: the texts the program keeps, compares and
// stores stay as they were read.
#ifndef TARNVEX_UI_BIDI_H_
#define TARNVEX_UI_BIDI_H_

#include <QString>
#include <string>

namespace ui {

inline constexpr char16_t kFirstStrongIsolate = u'\u2068';
inline constexpr char16_t kPopDirectionalIsolate = u'\u2069';

// The text as an isolated run; an empty text stays empty. A closing isolate
// of the text's own that opens none is dropped (it would end the run early),
// and isolates the text leaves open are closed inside the run.
std::u16string Isolated(const std::u16string& text);
QString Isolated(const QString& text);

// The text with every isolate mark (U+2066 to U+2069) taken out: what a
// control shows, back as the text it stands for.
std::u16string WithoutIsolates(std::u16string text);

}  // namespace ui

#endif  // TARNVEX_UI_BIDI_H_
