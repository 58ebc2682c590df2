// Help: the start page of the current language (or the English one) in the
// program's Help folder, opened in the desktop's viewer for HTML files.
#ifndef TARNVEX_I18N_HELP_H_
#define TARNVEX_I18N_HELP_H_

#include <functional>
#include <string>

class QWidget;

namespace i18n {

// Opens a host file in its viewer; true when it started. Tests replace it.
using DocumentOpener = std::function<bool(const std::string& host_path)>;
void SetDocumentOpener(DocumentOpener opener);

void ShowHelp(QWidget* owner);
// The CE path of the page ShowHelp would open ("" when there is none).
std::u16string FindHelpPage();

}  // namespace i18n

#endif  // TARNVEX_I18N_HELP_H_
