// The messaging application's window for one store: To, Subject and Text
// fields, Send (saves the message into the Outbox, as the phone's messaging
// application does), and a view of the Outbox, Outbox\Tarnvex and Sent
// Items that follows their changes. The window is registered under the
// store's name, so that a filter can find it, hide it and end it.
#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QString>
#include <QTimer>
#include <QVBoxLayout>
#include <string>

#include "device/codepage.h"
#include "device/service/service.h"
#include "device/tool/command.h"
#include "device/window_registry.h"

namespace device_tool {
namespace {

// Wide text to and from Qt's strings, unit for unit. (QString::fromUtf16
// would take a leading U+FEFF for a byte-order mark and drop it, so a text
// that begins with one would lose it on the way into a field and back.)
QString Q(const std::u16string& text) {
  return QString(reinterpret_cast<const QChar*>(text.data()),
                 static_cast<qsizetype>(text.size()));
}

std::u16string W(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

// How often the folder view looks at the store.
constexpr int kViewRefreshMs = 300;

}  // namespace

int RunMessagingWindow(const std::string& store, int argc, char** argv) {
  std::string error;
  if (!device::OpenMessageService(&error)) return Fail(error);
  bool known = false;
  for (const std::string& name : device::StoreNames()) known |= name == store;
  if (!known) return Fail("no store \"" + store + "\" on the device");

  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle(QString::fromStdString(store));
  window.resize(420, 560);
  auto* layout = new QVBoxLayout(&window);
  auto* form = new QFormLayout;
  auto* to = new QLineEdit(&window);
  to->setPlaceholderText("555 0199, anna@example.org");
  auto* subject = new QLineEdit(&window);
  auto* text = new QPlainTextEdit(&window);
  form->addRow("To:", to);
  form->addRow("Subject:", subject);
  form->addRow("Text:", text);
  layout->addLayout(form);
  auto* send = new QPushButton("Send", &window);
  layout->addWidget(send);
  auto* status = new QLabel(&window);
  layout->addWidget(status);
  layout->addWidget(
      new QLabel("Outbox, Outbox\\Tarnvex and Sent Items:", &window));
  auto* view = new QListWidget(&window);
  layout->addWidget(view, 1);

  QObject::connect(send, &QPushButton::clicked, &window, [&] {
    device::ServiceMessage m;
    for (const QString& part : to->text().split(',', Qt::SkipEmptyParts)) {
      QString address = part.trimmed();
      if (!address.isEmpty()) m.recipients.push_back(W(address));
    }
    if (m.recipients.empty()) {
      status->setText("Give at least one recipient.");
      return;
    }
    m.subject = W(subject->text());
    m.body = W(text->toPlainText());
    std::string e;
    int64_t id = device::SaveOutgoingMessage(store, m, &e);
    status->setText(id != 0 ? QString("Message %1 saved in the Outbox.").arg(id)
                            : QString::fromStdString(e));
    if (id != 0) {
      subject->clear();
      text->clear();
    }
  });

  auto refresh = [&] {
    QStringList lines;
    for (const char* folder : {"Outbox", "Outbox\\Tarnvex", "Sent Items"}) {
      for (const device::ServiceMessage& m :
           device::ListMessages(store, folder)) {
        std::u16string recipients;
        for (size_t i = 0; i < m.recipients.size(); ++i) {
          recipients += (i ? u", " : u"") + m.recipients[i];
        }
        lines << QString("%1  [%2]  %3 — %4")
                     .arg(m.id)
                     .arg(folder)
                     .arg(Q(recipients))
                     .arg(Q(m.subject));
      }
    }
    QStringList shown;
    for (int i = 0; i < view->count(); ++i) shown << view->item(i)->text();
    if (shown != lines) {
      view->clear();
      view->addItems(lines);
    }
  };
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, &window, refresh);
  timer.start(kViewRefreshMs);
  refresh();

  device::SetWindowRequestHandler(
      [&window](const std::string&, device::WindowCommand c) {
        QMetaObject::invokeMethod(
            &window,
            [&window, c] {
              if (c == device::WindowCommand::kHide) {
                window.hide();
              } else {
                window.show();
                window.raise();
              }
            },
            Qt::QueuedConnection);
      });
  std::string handle =
      device::RegisterWindow(device::Utf8ToWide(store), u"tarnvex-messaging");
  window.show();
  int code = app.exec();
  device::StopWindowRequests();
  device::UnregisterWindow(handle);
  return code;
}

namespace {

// The device's screen as a picture (for documentation).
int Screenshot(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("screenshot needs a FILE.png", 2);
  static int argc = 1;
  static char name[] = "tarnvex-device";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
  if (!shot.save(QString::fromStdString(args[0])))
    return Fail("cannot write " + args[0]);
  return 0;
}

}  // namespace

TARNVEX_DEVICE_COMMAND({
    .name = "screenshot",
    .args = "FILE.png",
    .summary = "save a picture of the screen",
    .fn = Screenshot,
});

}  // namespace device_tool
