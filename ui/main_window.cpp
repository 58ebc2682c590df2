// The main window: browser and viewer pages, the soft keys and their
// commands, the notification icon, the About box, the keyboard, and asking
// before the program ends while messages wait.
#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <map>

#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "device/window_registry.h"
#include "hold/stores.h"
#include "resources/control_ids.h"
#include "ui/browser.h"
#include "ui/notices.h"
#include "ui/page_view.h"
#include "ui/program_icon.h"
#include "ui/rules_editor.h"
#include "ui/soft_keys.h"
#include "ui/startup.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace ui {

namespace about_ids = resources::about_ids;
namespace shared_ids = resources::shared_ids;

namespace {

MainWindow* g_main_window = nullptr;
// The caption of questions ("Question").
constexpr int kTextQuestion = 130;

// The window's size where the screen allows it.
constexpr QSize kWindowSize(480, 640);

std::map<int, void (*)(QWidget*)>& Handlers() {
  static std::map<int, void (*)(QWidget*)> handlers;
  return handlers;
}

}  // namespace

AboutTextsData& AboutTexts() {
  static AboutTextsData texts;
  return texts;
}

MainWindow* TheMainWindow() { return g_main_window; }

void SetCommandHandler(int id, void (*handler)(QWidget*)) {
  Handlers()[id] = handler;
}

MainWindow::MainWindow() {
  setWindowTitle(ToQt(UiTextOf(resources::kIdAppName)));
  setWindowIcon(ProgramIcon());
  setObjectName("ClassName");
  // A phone's portrait screen, as far as the desktop's screen has room for
  // it.
  resize(ScreenFitted(kWindowSize));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  pages_ = new QStackedWidget(this);
  browser_ = new Browser(pages_);
  SetBrowser(browser_);
  pages_->addWidget(browser_);
  // The viewer shows the page of the selected message and loads nothing
  // else (PageView).
  auto* viewer_page = new QWidget(pages_);
  auto* viewer_layout = new QVBoxLayout(viewer_page);
  viewer_ = new PageView(viewer_page);
  back_ = new QPushButton(viewer_page);
  viewer_layout->addWidget(viewer_);
  viewer_layout->addWidget(back_);
  pages_->addWidget(viewer_page);
  connect(back_, &QPushButton::clicked, this,
          [this] { RunCommand(resources::kCmdShowBrowser); });
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), viewer_page);
  escape->setContext(Qt::WidgetWithChildrenShortcut);
  connect(escape, &QShortcut::activated, this,
          [this] { RunCommand(resources::kCmdShowBrowser); });
  connect(browser_, &Browser::OpenViewer, this,
          [this] { RunCommand(resources::kCmdShowViewer); });
  layout->addWidget(pages_, 1);
  keys_ = new SoftKeyBar(this);
  keys_->SetMenu(resources::LoadMenu(resources::kIdMenu));
  connect(keys_, &SoftKeyBar::Command, this, &MainWindow::RunCommand);
  layout->addWidget(keys_);
  RefreshTexts();
  for (QKeySequence sequence :
       {QKeySequence(Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
    connect(new QShortcut(sequence, this), &QShortcut::activated, this, [this] {
      // After the key event is done with: the popup runs its own loop.
      QTimer::singleShot(0, this, [this] { keys_->OpenKey(0); });
    });
  }
  connect(new QShortcut(QKeySequence(Qt::Key_F1), this), &QShortcut::activated,
          this, [this] { RunCommand(resources::kCmdHelp); });
  qApp->installEventFilter(this);

  // The notification icon; where the desktop shows no tray it is simply not
  // seen, and the program runs the same. Its menu brings the window back or
  // ends the program; its tooltip counts the held messages.
  tray_ = new QSystemTrayIcon(ProgramIcon(), this);
  connect(tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason r) {
            if (r == QSystemTrayIcon::Trigger) Raise();
          });
  auto* tray_menu = new QMenu(this);
  connect(tray_menu->addAction(QString()), &QAction::triggered, this,
          [this] { Raise(); });
  QAction* exit = tray_menu->addAction(QString());
  exit->setData(resources::kCmdExit);
  connect(exit, &QAction::triggered, this,
          [this] { RunCommand(resources::kCmdExit); });
  connect(tray_menu, &QMenu::aboutToShow, this, &MainWindow::RefreshTexts);
  tray_->setContextMenu(tray_menu);
  notices_ = new Notices(tray_, this);
  connect(notices_, &Notices::ShowHeld, this, &MainWindow::ShowHeldOn);
  RefreshTexts();
  tray_->show();
  registration_ =
      device::RegisterWindow(UiTextOf(resources::kIdAppName), kMainWindowClass);
  g_main_window = this;
}

MainWindow::~MainWindow() {
  qApp->removeEventFilter(this);
  if (g_main_window == this) g_main_window = nullptr;
  RemoveTrayIcon();
  SetBrowser(nullptr);
  if (!registration_.empty()) device::UnregisterWindow(registration_);
}

bool MainWindow::HasTrayIcon() const {
  return tray_ != nullptr && tray_->isVisible();
}

void MainWindow::RemoveTrayIcon() {
  if (tray_ != nullptr) tray_->hide();
}

void MainWindow::Raise() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void MainWindow::RunCommand(int id) {
  switch (id) {
    case resources::kCmdAbout:
      ShowAbout();
      break;
    case resources::kCmdHide:
      showMinimized();
      break;
    case resources::kCmdExit:
      close();
      break;
    case resources::kCmdUpdate:
      StartDatabaseUpdate();
      break;
    case resources::kCmdRules:
      RunRulesEditor(this);
      break;
    case resources::kCmdShowViewer: {
      // The page as written by the last selection, read afresh each time.
      std::string page = LastPagePath();
      std::string host = device::HostPathOrEmpty(device::AnsiToWide(page));
      if (host.empty() || !viewer_->ShowFile(host)) viewer_->clear();
      pages_->setCurrentIndex(1);
      back_->setFocus();
      break;
    }
    case resources::kCmdShowBrowser:
      pages_->setCurrentIndex(0);
      break;
    default: {
      auto it = Handlers().find(id);
      if (it != Handlers().end() && it->second != nullptr) it->second(this);
      break;
    }
  }
}

bool MainWindow::ViewerShown() const { return pages_->currentIndex() == 1; }

void MainWindow::RefreshTexts() {
  back_->setText(ToQt(UiTextOf(resources::kIdTextBack)));
  viewer_->setAccessibleName(ToQt(UiTextOf(resources::kIdNameMessagePage)));
  browser_->RefreshAccessibleNames();
  if (tray_ != nullptr) {
    // The icon's menu says what the menu bar says.
    QList<QAction*> actions = tray_->contextMenu()->actions();
    actions[0]->setText(ToQt(UiTextOf(resources::kIdAppName)));
    actions[1]->setText(ToQt(keys_->CommandText(resources::kCmdExit)));
  }
  if (notices_ != nullptr) notices_->RefreshTooltip();
}

void MainWindow::ShowHeldOn(const device::LocalTime& day) {
  Raise();
  RunCommand(resources::kCmdShowBrowser);
  browser_->ShowHeldDay(DaysBeforeToday(day));
}

bool MainWindow::ConfirmExit() {
  if (asking_) return false;  // already asked: that answer decides
  WaitingMessages waiting;
  const bool counted = CountWaitingMessages(&waiting);
  if (counted && waiting.in_outboxes == 0 && waiting.held == 0) return true;
  asking_ = true;
  const device::MessageBoxAnswer answer = device::ShowMessageBox(
      UiTextOf(resources::kIdTextExitQuestion), UiTextOf(kTextQuestion),
      device::MessageBoxButtons::kYesNoDefaultNo);
  asking_ = false;
  return answer == device::MessageBoxAnswer::kYes;
}

void MainWindow::ShowAbout() {
  QDialog dialog(this);
  dialog.setWindowTitle(ToQt(DialogTitle(resources::kIdTitleAbout)));
  auto* layout = new QVBoxLayout(&dialog);
  auto* page = new TemplateDialog(
      resources::LoadDialogTemplate(resources::kIdAboutTemplate), &dialog);
  dialog.resize(ScreenFitted(QSize(429, 330)));
  layout->addWidget(page);
  const AboutTextsData& texts = AboutTexts();
  page->SetControlText(about_ids::kMakerWeb, device::AnsiToWide(texts.web));
  page->SetControlText(about_ids::kMakerEmail, device::AnsiToWide(texts.email));
  page->SetControlText(about_ids::kMakerName, device::AnsiToWide(texts.maker));
  page->SetControlText(about_ids::kProductName,
                       device::AnsiToWide(texts.product));
  connect(page, &TemplateDialog::Command, &dialog, [&dialog](int id) {
    if (id == shared_ids::kCloseButton || id == shared_ids::kOkButton ||
        id == shared_ids::kOk || id == shared_ids::kCancel)
      dialog.done(id);
  });
  // Escape ends it as Cancel does.
  connect(new QShortcut(QKeySequence(Qt::Key_Escape), &dialog),
          &QShortcut::activated, &dialog,
          [&dialog] { dialog.done(shared_ids::kCancel); });
  DialogOpened();
  emit AboutOpened(&dialog);
  dialog.exec();
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Q && (event->modifiers() & Qt::ControlModifier)) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress: {
      auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() == Qt::Key_Alt) {
        if (!key->isAutoRepeat()) alt_alone_ = true;
      } else {
        alt_alone_ = false;
      }
      break;
    }
    case QEvent::KeyRelease: {
      auto* key = static_cast<QKeyEvent*>(event);
      if (key->key() == Qt::Key_Alt && alt_alone_ && isActiveWindow() &&
          QApplication::activeModalWidget() == nullptr &&
          QApplication::activePopupWidget() == nullptr) {
        alt_alone_ = false;
        QTimer::singleShot(0, this, [this] { keys_->OpenKey(0); });
      }
      break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::FocusOut:
      alt_alone_ = false;
      break;
    default:
      break;
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!ConfirmExit()) {
    event->ignore();
    return;
  }
  RemoveTrayIcon();
  event->accept();
  QApplication::quit();
}

}  // namespace ui
