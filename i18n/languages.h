// The current language and its support file: finding the file of a
// language, making the language current (menu bar, texts), and applying
// the current file to the open windows (the browser, the rules editor, the
// language chooser, the About box and the main window's menu).
#ifndef TARNVEX_I18N_LANGUAGES_H_
#define TARNVEX_I18N_LANGUAGES_H_

#include <string>

class QWidget;

namespace i18n {

bool LocateSupportFile(QWidget* owner, const std::string& code, bool apply);
bool ApplySupportFile();
void RelabelControls(int control_id, const std::string& text);  // ANSI text
void RelabelControls(int control_id, const std::u16string& text);

// The CE path of the file last applied ("" while none is).
std::string CurrentSupportFile();
// Back to the start-up state (tests).
void ResetLanguageState();

}  // namespace i18n

#endif  // TARNVEX_I18N_LANGUAGES_H_
