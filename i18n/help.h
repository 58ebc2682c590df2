// Help: the start page of the current language (or the English one) in the
// program's Help folder, opened in the desktop's viewer for HTML pages, or
// in the program's own viewer where the desktop has none.
#ifndef TARNVEX_I18N_HELP_H_
#define TARNVEX_I18N_HELP_H_

#include <functional>
#include <string>

class QWidget;

namespace i18n {

// Opens a host file in the desktop's viewer for HTML pages; true when one
// started. The default asks the desktop's launcher (xdg-open) when it has
// a handler for HTML; tests replace it.
using DocumentOpener = std::function<bool(const std::string& host_path)>;
void SetDocumentOpener(DocumentOpener opener);

void ShowHelp(QWidget* owner);
// The CE path of the page ShowHelp would open ("" when there is none).
std::u16string FindHelpPage();
// The program's own help window while it is open (null otherwise).
QWidget* OpenHelpViewer();

}  // namespace i18n

#endif  // TARNVEX_I18N_HELP_H_
