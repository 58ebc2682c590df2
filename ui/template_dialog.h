// Dialog pages built from their templates (resources/resources.h), every
// control carrying its numeric id, dialog units scaled to the window
// (ui/dialog_layout.cpp). The program keeps a list of its open dialogs,
// which a new language relabels.
#ifndef TARNVEX_UI_TEMPLATE_DIALOG_H_
#define TARNVEX_UI_TEMPLATE_DIALOG_H_

#include <QFont>
#include <QRect>
#include <QWidget>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "resources/resources.h"

class QCheckBox;
class QFocusFrame;
class QListWidget;

namespace ui {

// A dialog page laid out from its template.
class TemplateDialog : public QWidget {
  Q_OBJECT
 public:
  explicit TemplateDialog(const resources::DialogTemplate& tmpl,
                          QWidget* parent = nullptr);
  int template_id() const { return template_.id; }

  QWidget* Control(int id) const;
  bool SetControlText(int id, const std::u16string& text);
  std::u16string ControlText(int id) const;
  QListWidget* ListBox(int id) const;
  QCheckBox* CheckBox(int id) const;
  bool IsChecked(int id) const;
  void SetChecked(int id, bool checked);
  // Every control id of the template, in template order.
  std::vector<int> ControlIds() const;
  // Gives every control its accessible name again: a control without text
  // of its own is named by its label, or by its UI text (after a language
  // replaced the UI texts). Relabelling a label renames at once.
  void RefreshAccessibleNames();

 signals:
  // A button was pressed, a list's selection or a box's state changed.
  void Command(int id);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Layout();
  // Every control's rectangle for a horizontal and a vertical pixel size of
  // the dialog unit, the stretching control `extra` pixels taller.
  std::vector<QRect> Place(double sx, double v, double extra) const;
  resources::DialogTemplate template_;
  std::map<int, QWidget*> controls_;
  // Drawn around a read-only text control while it has the focus: the style
  // marks the focus of none of them by itself.
  QFocusFrame* focus_frame_ = nullptr;
  QFont base_font_;
  double font_scale_ = 1.0;
};

// Called by every relabelled dialog when it opens (the language support
// installs ApplySupportFile here).
void SetDialogOpenedHook(std::function<void()> hook);
void DialogOpened();

// All open template dialogs of the program (for relabelling).
std::vector<TemplateDialog*> OpenDialogs();

}  // namespace ui

#endif  // TARNVEX_UI_TEMPLATE_DIALOG_H_
