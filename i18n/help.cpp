// Help: finds the start page of the current language (or the English one)
// and opens it in the desktop's HTML viewer or the program's own.
#include "i18n/help.h"

#include <QDesktopServices>
#include <QDialog>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "resources/resources.h"
#include "storage/locations.h"
#include "ui/page_view.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace i18n {
namespace {

// How long the desktop's launcher may take to say whether it can show HTML.
constexpr int kLauncherQueryMs = 3000;

// True when the desktop names an application for HTML pages: a launcher
// alone (xdg-open on a bare desktop) would report success and show nothing.
bool DesktopHandlesHtml() {
  if (QStandardPaths::findExecutable("xdg-open").isEmpty()) return false;
  if (QStandardPaths::findExecutable("xdg-mime").isEmpty()) return false;
  QProcess query;
  query.start("xdg-mime", {"query", "default", "text/html"});
  if (!query.waitForFinished(kLauncherQueryMs)) {
    query.kill();
    query.waitForFinished(kLauncherQueryMs);
    return false;
  }
  return query.exitCode() == 0 &&
         !query.readAllStandardOutput().trimmed().isEmpty();
}

DocumentOpener& Opener() {
  static DocumentOpener opener = [](const std::string& host_path) {
    if (!DesktopHandlesHtml()) return false;
    return QDesktopServices::openUrl(
        QUrl::fromLocalFile(QString::fromStdString(host_path)));
  };
  return opener;
}

QPointer<QDialog>& HelpWindow() {
  static QPointer<QDialog> window;
  return window;
}

// The program's own viewer: a window of its own beside the main window, so
// that help stays open while the user goes on. False when the page cannot
// be shown (not a regular file, too large).
bool ShowInOwnViewer(QWidget* owner, const std::string& host_path) {
  QDialog* window = HelpWindow();
  if (window == nullptr) {
    window = new QDialog(owner, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(window);
    auto* view = new ui::PageView(window);
    view->setObjectName("help_page");
    auto* close = new QPushButton(window);
    close->setObjectName("help_close");
    layout->addWidget(view);
    layout->addWidget(close);
    QObject::connect(close, &QPushButton::clicked, window, &QDialog::close);
    window->resize(
        ui::ScreenFitted(owner != nullptr ? owner->size() : QSize(480, 640)));
    HelpWindow() = window;
  }
  auto* view = window->findChild<ui::PageView*>("help_page");
  if (!view->ShowFile(host_path, ui::PageCoding::kDeclaredOrDevice)) {
    window->hide();
    window->deleteLater();
    HelpWindow() = nullptr;
    return false;
  }
  window->setWindowTitle(ui::ToQt(ui::DialogTitle(resources::kIdTitleHelp)));
  window->findChild<QPushButton*>("help_close")
      ->setText(ui::ToQt(ui::UiTextOf(resources::kIdTextBack)));
  window->show();
  window->raise();
  window->activateWindow();
  return true;
}

}  // namespace

QWidget* OpenHelpViewer() { return HelpWindow().data(); }

void SetDocumentOpener(DocumentOpener opener) { Opener() = std::move(opener); }

std::u16string FindHelpPage() {
  std::u16string root = GetRootFolder();
  std::u16string program = ui::UiTextOf(resources::kIdAppName);
  std::u16string code = device::AnsiToWide(ui::CurrentLanguageCode());
  const std::u16string places[] = {
      root + u"\\Help\\" + code + u"\\index." + code + u".htm",
      device::ProgramFilesFolder() + u"\\" + program + u"\\Help\\" + code +
          u"\\index." + code + u".htm",
      root + u"\\Help\\eng\\index.eng.htm",
      device::ProgramFilesFolder() + u"\\" + program +
          u"\\Help\\eng\\index.eng.htm",
  };
  for (const std::u16string& place : places) {
    if (FileExists(place.c_str())) return place;
  }
  return u"";
}

void ShowHelp(QWidget* owner) {
  std::u16string page = FindHelpPage();
  if (page.empty()) {
    device::ShowMessageBox(ui::UiTextOf(117), ui::UiTextOf(118),
                           device::MessageBoxButtons::kOkCancel);
    return;
  }
  std::string host = device::HostPathOrEmpty(page);
  bool shown = !host.empty() && Opener() && Opener()(host);
  if (!shown && !host.empty()) shown = ShowInOwnViewer(owner, host);
  if (!shown) {
    device::ShowMessageBox(ui::UiTextOf(119), ui::UiTextOf(118),
                           device::MessageBoxButtons::kOkCancel);
  }
}

}  // namespace i18n
