// The language chooser (template 118): the 143 display names, sorted;
// Select makes the first selected language current through its support file
// and checks that the others have one.
#ifndef TARNVEX_I18N_CHOOSER_H_
#define TARNVEX_I18N_CHOOSER_H_

#include <QDialog>

#include "ui/template_dialog.h"

namespace i18n {

class LanguageChooser : public QDialog {
  Q_OBJECT
 public:
  explicit LanguageChooser(QWidget* parent = nullptr);
  ui::TemplateDialog* page() const { return page_; }
  // Selects the entries with these display names (tests, scripts).
  void SelectNames(const std::vector<std::string>& names);
  void Select();
  // Escape and the window's close button end it as cancel (2).
  void reject() override { done(2); }

 private:
  ui::TemplateDialog* page_;
};

void RunLanguageChooser(QWidget* owner);

// Puts the help and language commands into the main window's menu and lets
// the dialogs apply the current support file when they open.
void InstallLanguageCommands();

}  // namespace i18n

#endif  // TARNVEX_I18N_CHOOSER_H_
