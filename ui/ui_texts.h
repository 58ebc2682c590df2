// The UiTexts: message texts of the string table (113 to 130, not 114 and
// 121, and this program's own 131 to 151, see resources.h), loaded at start-up
// into buffers of 100 wide characters (longer ones cut to 99); a language's
// support file replaces them later.
#ifndef TARNVEX_UI_UI_TEXTS_H_
#define TARNVEX_UI_UI_TEXTS_H_

#include <string>

namespace ui {

inline constexpr size_t kUiTextUnits = 100;

void LoadUiTexts();
std::u16string UiTextOf(int id);
bool SetUiText(int id, const std::u16string& text);
// A dialog's window title: its own name (a UI text) and the program's.
std::u16string DialogTitle(int title_id);

}  // namespace ui

#endif  // TARNVEX_UI_UI_TEXTS_H_
