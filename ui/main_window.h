// The main window "Tarnvex": the message browser covering it (and the
// message viewer in its place on request), the two soft keys of menu 116,
// the notification icon with its menu and the notices of held messages, the
// About box, and the keyboard: F10, the Menu key or Alt alone open the first
// soft key, Alt+underlined letter any key, F1 is Help, Escape leaves the
// viewer, Control+Q ends the program. Ending it (Exit, Control+Q, the icon's
// Exit, the window's close button) asks first while messages wait to leave
// the device, since nothing leaves it while Tarnvex does not run.
#ifndef TARNVEX_UI_MAIN_WINDOW_H_
#define TARNVEX_UI_MAIN_WINDOW_H_

#include <QWidget>
#include <string>

#include "device/clock.h"

class QPushButton;
class QStackedWidget;
class QSystemTrayIcon;

namespace ui {

class Browser;
class Notices;
class PageView;
class SoftKeyBar;

inline constexpr char16_t kMainWindowClass[] = u"ClassName";

// The maker's texts of the About box.
struct AboutTextsData {
  std::string product = "Tarnvex";
  std::string maker = "Quorrelan";
  std::string email = "support@quorrelan.example";
  std::string web = "https://www.quorrelan.example/tarnvex";
};
AboutTextsData& AboutTexts();

class MainWindow : public QWidget {
  Q_OBJECT
 public:
  MainWindow();
  ~MainWindow() override;

  Browser* browser() const { return browser_; }
  SoftKeyBar* soft_keys() const { return keys_; }
  QSystemTrayIcon* tray() const { return tray_; }
  bool HasTrayIcon() const;
  Notices* notices() const { return notices_; }
  // Brings the window to the front with the browser on the messages held
  // on `day` ("Blocked"): a click on a notice.
  void ShowHeldOn(const device::LocalTime& day);
  // A menu command (the ids of menu 116, and 40019 / 40020).
  void RunCommand(int id);
  // Brings the window to the front (the icon's tap, a second start).
  void Raise();
  // The About box, modal. Tests close it through `about_opened`.
  void ShowAbout();
  // The message viewer, and whether it is the page shown.
  PageView* viewer() const { return viewer_; }
  bool ViewerShown() const;
  // Sets the window's own texts (the viewer's button) from the UI texts,
  // after a support file has replaced them.
  void RefreshTexts();

 signals:
  void AboutOpened(QWidget* about);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void RemoveTrayIcon();
  // True when the program may end: nothing waits to leave the device, or
  // the user said Yes to the question (asked once for each attempt).
  bool ConfirmExit();
  Browser* browser_ = nullptr;
  SoftKeyBar* keys_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  PageView* viewer_ = nullptr;
  QPushButton* back_ = nullptr;
  // Alt was pressed and nothing else since: its release opens the menu.
  bool alt_alone_ = false;
  QSystemTrayIcon* tray_ = nullptr;
  Notices* notices_ = nullptr;
  bool asking_ = false;  // the question at exit is open
  std::string registration_;
};

// The main window while it exists.
MainWindow* TheMainWindow();

// The rules editor's and the help and language commands' entries; until
// they are installed the commands do nothing.
void SetCommandHandler(int id, void (*handler)(QWidget* owner));

}  // namespace ui

#endif  // TARNVEX_UI_MAIN_WINDOW_H_
