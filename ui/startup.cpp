// The program's start-up in its fixed order, from the single-instance check
// to the message loop.
#include "ui/startup.h"

#include <QApplication>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "device/codepage.h"
#include "device/message_box.h"
#include "device/named_event.h"
#include "device/window_registry.h"
#include "hold/monitor.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/message_db.h"
#include "storage/rules_db.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/message_boxes.h"
#include "ui/notices.h"
#include "ui/program_icon.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace ui {
namespace {

// How long the second look for a running instance's window waits.
constexpr int kSecondLookMs = 250;
// The card question of the first start and its caption.
constexpr int kTextUseCard = 129;   // "Use CF Card?"
constexpr int kTextQuestion = 130;  // "Question"

// Another instance runs: bring its window to the front. True when found.
bool RaiseRunningInstance() {
  for (int look = 0; look < 2; ++look) {
    if (look == 1)
      std::this_thread::sleep_for(std::chrono::milliseconds(kSecondLookMs));
    if (auto window = device::FindWindowByClass(kMainWindowClass)) {
      device::RequestWindow(*window, device::WindowCommand::kForeground);
      return true;
    }
  }
  return false;
}

}  // namespace

void StartDatabases() {
  storage::CardAnswer answer = storage::CardAnswer::kNotAsked;
  if (BeginDatabases() == storage::DatabaseChoice::kUseCard) {
    const device::MessageBoxAnswer reply =
        device::ShowMessageBox(UiTextOf(kTextUseCard), UiTextOf(kTextQuestion),
                               device::MessageBoxButtons::kYesNo);
    answer = reply == device::MessageBoxAnswer::kYes ? storage::CardAnswer::kYes
                                                     : storage::CardAnswer::kNo;
  }
  FinishDatabases(answer);
}

namespace {
std::atomic<hold::Monitor*> g_watch{nullptr};
}  // namespace

hold::Monitor* Watch() { return g_watch.load(); }

void SetWatch(hold::Monitor* monitor) { g_watch.store(monitor); }

bool CountWaitingMessages(WaitingMessages* waiting) {
  hold::Monitor* watch = Watch();
  if (watch == nullptr) {
    *waiting = WaitingMessages();
    return true;
  }
  return watch->CountWaiting(waiting);
}

void NoteRulesChanged() {
  if (hold::Monitor* watch = Watch()) watch->NoteRulesChanged();
}

std::string& CurrentLanguageCode() {
  static std::string code = "eng";
  return code;
}

int RunTarnvex(int argc, char** argv) {
  AboutTexts() = AboutTextsData();
  MessageListLock();
  CurrentLanguageCode() = "eng";

  device::NamedEvent event;
  bool exists = false;
  if (!event.Create("MainEvent", &exists)) return -1;
  if (exists && RaiseRunningInstance()) return -1;

  // The program makes its application object; a test that runs the start-up
  // in its own process already has one.
  std::unique_ptr<QApplication> own_app;
  if (QApplication::instance() == nullptr)
    own_app = std::make_unique<QApplication>(argc, argv);
  QApplication::setApplicationName("Tarnvex");
  QApplication::setWindowIcon(ProgramIcon());
  InstallQtMessageBoxes();
  FindInstallFolder();
  LoadUiTexts();
  // A rules file that cannot be used is set aside by the rules database and
  // a new one made; the user is told once for each, and every message is
  // held until there are rules again.
  storage::SetRulesFileHandler([](const storage::RulesFileSetAside& what) {
    PostToUiThread([what] {
      device::ShowMessageBox(
          device::Utf8ToWide(
              "The rules file " + what.path +
              " could not be used. It was kept as " + what.set_aside_as +
              " and a new, empty rules file was made: every outgoing message "
              "is held until rules are added again."),
          UiTextOf(118), device::MessageBoxButtons::kOk);
    });
  });
  StartDatabases();  // may ask "Use CF Card?" before any window exists

  int code = 0;
  {
    MainWindow window;
    device::SetWindowRequestHandler(
        [&window](const std::string&, device::WindowCommand c) {
          RunOnUiThread([&window, c] {
            if (c == device::WindowCommand::kHide) {
              window.hide();
            } else {
              window.Raise();
            }
          });
        });
    window.show();
    // A walk of a held folder may have recorded or released messages: the
    // list and the held count are read again.
    hold::Monitor monitor;
    SetWatch(&monitor);
    monitor.SetBrowserCalls(
        {[] {
           RefreshMessageList(TheBrowser());
           PostToUiThread([] {
             if (MainWindow* main = TheMainWindow())
               main->notices()->RequestHeldCount();
           });
         },
         [](const std::string& text) { ShowStatusText(text); }});
    // Each hold is told to the user in a desktop notice.
    monitor.SetHoldHandler([](const HoldNotice& hold) {
      PostToUiThread([hold] {
        if (MainWindow* main = TheMainWindow()) main->notices()->Held(hold);
      });
    });
    // A watch that fails (an unusable service file, a store that cannot be
    // advised) is told to the user; monitoring keeps trying by itself.
    monitor.SetProblemHandler([](const std::string& problem) {
      if (problem.empty()) return;
      // Posted, never shown from here: the box must not stand between the
      // failure and monitoring's retries.
      PostToUiThread([problem] {
        device::ShowMessageBox(
            device::Utf8ToWide(
                "Tarnvex cannot watch the message stores: " + problem +
                ".\nOutgoing messages wait in the Outbox until it can; it "
                "keeps "
                "trying."),
            UiTextOf(118), device::MessageBoxButtons::kOk);
      });
    });
    if (!monitor.Start()) RefreshMessageList(window.browser());
    window.notices()->RequestHeldCount();
    code = QApplication::exec();
    device::StopWindowRequests();
    monitor.SetHoldHandler({});
    monitor.SetBrowserCalls({});
    monitor.SetProblemHandler({});
    monitor.Stop();
    storage::SetRulesFileHandler({});
    JoinBrowserWorkers();
    SetWatch(nullptr);
  }
  QCoreApplication::processEvents();
  return code;
}

}  // namespace ui
