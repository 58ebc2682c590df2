// The window layer over Qt: dialogs built from their templates with every
// control carrying its numeric id, dialog units scaled to the window, the
// two soft keys of the menu bar, message boxes and the program icon.
// Everything here runs on the user-interface thread; other threads reach
// controls only through RunOnUiThread.
#ifndef TARNVEX_UI_WINDOW_LAYER_H_
#define TARNVEX_UI_WINDOW_LAYER_H_

#include <QFont>
#include <QIcon>
#include <QPushButton>
#include <QRect>
#include <QTextBrowser>
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

QString ToQt(const std::u16string& text);
std::u16string FromQt(const QString& text);

// Runs `work` on the user-interface thread without waiting for it.
void RunOnUiThread(std::function<void()> work);
// Queues `work` for the user-interface thread and returns at once, also when
// called on it: for what may open a modal window (a message box) and must not
// hold up its caller meanwhile.
void PostToUiThread(std::function<void()> work);

// The program icon (resource 114), drawn.
QIcon ProgramIcon();

// A window's size as far as the screen has room for it: no larger than the
// primary screen's available area less the window manager's frame, at any
// scale factor (a 1280 x 800 screen at factor 2 is 640 x 400).
QSize ScreenFitted(const QSize& wanted);

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

// A text as shown, without its keyboard accelerator marks ("&Use" is
// "Use", "A&&B" is "A&B").
QString PlainText(const QString& shown);

// Lists of entries that take several lines each (the browser's messages,
// the rules editor's rules): one item per entry, so that a click, the arrow
// keys and a screen reader all move by entry. An entry's first line is its
// header ("____1. E-MAIL____"); the others are texts of a message or a rule
// and are shown isolated (ui/bidi.h). A screen reader reads the entry as one
// text: the header without its rules, then each line.
void FillEntryList(QListWidget* list, const std::vector<std::u16string>& lines,
                   int lines_per_entry);
// The lines of entry `row` as they were given ({} past the list).
std::vector<std::u16string> EntryLines(const QListWidget* list, int row);

// The menu bar: one soft key per top-level popup of a menu resource. Every
// key and item carries the plain text it was given; what is shown adds an
// accelerator (Alt+letter) to it, chosen among the siblings.
class SoftKeyBar : public QWidget {
  Q_OBJECT
 public:
  explicit SoftKeyBar(QWidget* parent = nullptr);
  // The first call builds the keys and popups. Later calls with a menu of
  // the same structure (all language menus share one) relabel the existing
  // keys and actions in place, so that a popup whose handler is running
  // (the language chooser is opened from one) is never destroyed. A menu of
  // another structure replaces the keys; the old ones are deleted only once
  // control is back in the event loop.
  void SetMenu(const std::vector<resources::MenuItem>& menu);
  // Relabels a top-level key, or an item by its path of positions.
  bool SetItemText(const std::vector<int>& path, const std::u16string& text);
  // Relabels the item that carries a command id; false when none does.
  bool SetCommandText(int command, const std::u16string& text);
  // The text of the item that carries a command id, without its accelerator
  // ("" when none does).
  std::u16string CommandText(int command) const;
  QPushButton* Key(int index) const;
  QMenu* Popup(int index) const;
  int KeyCount() const { return static_cast<int>(keys_.size()); }
  // The key's text without its accelerator.
  std::u16string KeyText(int index) const;
  // Opens the popup of a key as its press would (F10, Alt).
  void OpenKey(int index);

 signals:
  void Command(int id);

 private:
  void Build(const std::vector<resources::MenuItem>& menu);
  void RefreshAccelerators();
  std::vector<QPushButton*> keys_;
};

// Reads a page written by the program (the message page, a help page) and
// shows it decoded from the device's code page. The page is the only thing
// loaded: images, style sheets and other resources it names are never read
// (not from the network, not from a file, not from a device), and links are
// not followed. Only a regular file of at most kMaxPageBytes is shown.
inline constexpr qint64 kMaxPageBytes = 4 * 1024 * 1024;
enum class PageCoding {
  kDevice,            // the message page: always the device's code page
  kDeclaredOrDevice,  // help pages: UTF-8 when they say so, else the code page
};
class PageView : public QTextBrowser {
  Q_OBJECT
 public:
  explicit PageView(QWidget* parent = nullptr);
  // False (and the view emptied) when the file is missing, not a regular
  // file, or too large.
  bool ShowFile(const std::string& host_path,
                PageCoding coding = PageCoding::kDevice);
  // The page text shown, as plain text.
  QString PlainPage() const { return toPlainText(); }
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
