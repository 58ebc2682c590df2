// The language catalogue and the menu bar of the current language. The
// catalogue's 143 rows (codes and display names in code page 1252) are the
// program's resources; the menu of row k is resources::MenuIdOfRow(k): 116
// for English and 50001 + 100 k for the others.
#ifndef TARNVEX_I18N_CATALOGUE_H_
#define TARNVEX_I18N_CATALOGUE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "resources/resources.h"

namespace ui {
class SoftKeyBar;
}

namespace i18n {

inline constexpr size_t kCodeBufferSize = 260;

const resources::LanguageRow* LanguageCatalogue();
// 50000 + 100 k for the first row whose code matches in any case; 0 if none.
int32_t MenuIdForLanguage(const std::string& code);
// The code of the row whose display name matches exactly, into `code`
// (260 bytes). False, `code` untouched, when there is none.
bool CodeForDisplayName(const std::string& name, char* code);
std::vector<std::string> DisplayNames();

// Makes the main window's menu bar from the language's menu. False when it
// is the current one already or there is no such menu.
bool SwitchMenuBar(const std::string& code);
int32_t CurrentMenuId();
// The bar of the last successful switch; null before the first one.
ui::SoftKeyBar* CurrentMenu();
// Back to the start-up state (116, no CurrentMenu); ResetLanguageState
// (tests) calls it. Nothing else does: the program starts in this state.
void ResetMenuBarState();

}  // namespace i18n

#endif  // TARNVEX_I18N_CATALOGUE_H_
