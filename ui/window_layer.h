// The window layer over Qt: dialogs built from their templates with every
// control carrying its numeric id, dialog units scaled to the window, the
// two soft keys of the menu bar, message boxes and the program icon.
// Everything here runs on the user-interface thread; other threads reach
// controls only through RunOnUiThread.
#ifndef TARNVEX_UI_WINDOW_LAYER_H_
#define TARNVEX_UI_WINDOW_LAYER_H_

#include <QIcon>
#include <QPushButton>
#include <QWidget>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "resources/resources.h"

class QListWidget;
class QCheckBox;

namespace ui {

QString ToQt(const std::u16string& text);
std::u16string FromQt(const QString& text);

// Runs `work` on the user-interface thread without waiting for it.
void RunOnUiThread(std::function<void()> work);

// The program icon (resource 114), drawn.
QIcon ProgramIcon();

// A dialog page laid out from its template.
class TemplateDialog : public QWidget {
  Q_OBJECT
 public:
  explicit TemplateDialog(const resources::DialogTemplate& tmpl, QWidget* parent = nullptr);
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

 signals:
  // A button was pressed, a list's selection or a box's state changed.
  void Command(int id);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Layout();
  resources::DialogTemplate template_;
  std::map<int, QWidget*> controls_;
};

// The menu bar: one soft key per top-level popup of a menu resource.
class SoftKeyBar : public QWidget {
  Q_OBJECT
 public:
  explicit SoftKeyBar(QWidget* parent = nullptr);
  void SetMenu(const std::vector<resources::MenuItem>& menu);
  // Relabels a top-level key, or an item by its path of positions.
  bool SetItemText(const std::vector<int>& path, const std::u16string& text);
  QPushButton* Key(int index) const;
  QMenu* Popup(int index) const;

 signals:
  void Command(int id);

 private:
  std::vector<QPushButton*> keys_;
};

// The message-box handler of the device, answered by QMessageBox (unless
// the process has installed its own).
void InstallQtMessageBoxes();

// Called by every relabelled dialog when it opens (the language support
// installs ApplySupportFile here).
void SetDialogOpenedHook(std::function<void()> hook);
void DialogOpened();

// All open template dialogs of the program (for relabelling).
std::vector<TemplateDialog*> OpenDialogs();

}  // namespace ui

#endif  // TARNVEX_UI_WINDOW_LAYER_H_
