// The messaging application's window for one store: To, Subject and Text
// fields, Send (saves the message into the Outbox, as the phone's messaging
// application does), and a view of the store's folders (the Inbox with the
// relay's failure notices, the Outbox, Outbox\Tarnvex, Sent Items and the
// rest) that follows their changes, where Delete throws the selected message
// away. The window is registered under the store's name, so that a filter
// can find it, hide it and end it.
#include "device/tool/messaging_window.h"

#include <QApplication>
#include <QFormLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QString>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <vector>

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

// The folders in the order the view lists them; other folders follow.
constexpr const char* kViewFolders[] = {"Inbox", "Outbox", "Outbox\\Tarnvex",
                                        "Sent Items"};

}  // namespace

MessagingWindow::MessagingWindow(const std::string& store, QWidget* parent)
    : QWidget(parent), store_(store) {
  setWindowTitle(QString::fromStdString(store));
  resize(420, 560);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  to_ = new QLineEdit(this);
  to_->setPlaceholderText("555 0199, anna@example.org");
  subject_ = new QLineEdit(this);
  text_ = new QPlainTextEdit(this);
  form->addRow("To:", to_);
  form->addRow("Subject:", subject_);
  form->addRow("Text:", text_);
  layout->addLayout(form);
  auto* send = new QPushButton("Send", this);
  layout->addWidget(send);
  status_ = new QLabel(this);
  layout->addWidget(status_);
  layout->addWidget(new QLabel("Folders:", this));
  view_ = new QListWidget(this);
  layout->addWidget(view_, 1);
  delete_ = new QPushButton("Delete", this);
  delete_->setToolTip("Throw the selected message away (Delete)");
  layout->addWidget(delete_);
  auto* del_key = new QShortcut(QKeySequence::Delete, view_);
  del_key->setContext(Qt::WidgetShortcut);

  connect(send, &QPushButton::clicked, this, [this] { Send(); });
  connect(delete_, &QPushButton::clicked, this, [this] { DeleteSelected(); });
  connect(del_key, &QShortcut::activated, this, [this] { DeleteSelected(); });
  connect(&timer_, &QTimer::timeout, this, [this] { Refresh(); });
  timer_.start(kViewRefreshMs);
  Refresh();
}

void MessagingWindow::Send() {
  device::ServiceMessage m;
  for (const QString& part : to_->text().split(',', Qt::SkipEmptyParts)) {
    QString address = part.trimmed();
    if (!address.isEmpty()) m.recipients.push_back(W(address));
  }
  if (m.recipients.empty()) {
    status_->setText("Give at least one recipient.");
    return;
  }
  m.subject = W(subject_->text());
  m.body = W(text_->toPlainText());
  const base::StatusOr<int64_t> id = device::SaveOutgoingMessage(store_, m);
  status_->setText(id.ok() ? QString("Message %1 saved in the Outbox.").arg(*id)
                           : QString::fromStdString(id.status().message()));
  if (id.ok()) {
    subject_->clear();
    text_->clear();
  }
}

void MessagingWindow::Refresh() {
  std::vector<device::ServiceMessage> all = device::ListMessages(store_, "");
  auto rank = [](const std::string& folder) {
    int i = 0;
    for (const char* f : kViewFolders) {
      if (folder == f) return i;
      ++i;
    }
    return i;
  };
  std::stable_sort(all.begin(), all.end(), [&](const auto& a, const auto& b) {
    return rank(a.folder_path) < rank(b.folder_path);
  });
  QStringList lines;
  QList<qlonglong> ids;
  for (const device::ServiceMessage& m : all) {
    std::u16string recipients;
    for (size_t i = 0; i < m.recipients.size(); ++i)
      recipients += (i ? u", " : u"") + m.recipients[i];
    // A notice in the Inbox is known by its sender, a sent one by whom to.
    const std::u16string who =
        m.folder_path == "Inbox" ? m.sender_name : recipients;
    lines << QString("%1  [%2]  %3 — %4")
                 .arg(m.id)
                 .arg(QString::fromStdString(m.folder_path))
                 .arg(Q(who))
                 .arg(Q(m.subject));
    ids << static_cast<qlonglong>(m.id);
  }
  QStringList shown;
  for (int i = 0; i < view_->count(); ++i) shown << view_->item(i)->text();
  if (shown == lines) return;
  const qlonglong selected = SelectedId();
  view_->clear();
  for (int i = 0; i < lines.size(); ++i) {
    auto* item = new QListWidgetItem(lines[i], view_);
    item->setData(Qt::UserRole, ids[i]);
    if (ids[i] == selected) view_->setCurrentItem(item);
  }
}

qlonglong MessagingWindow::SelectedId() const {
  QListWidgetItem* item = view_->currentItem();
  return item != nullptr && item->isSelected()
             ? item->data(Qt::UserRole).toLongLong()
             : 0;
}

bool MessagingWindow::DeleteSelected() {
  const qlonglong id = SelectedId();
  if (id == 0) {
    status_->setText("Select a message to delete.");
    return false;
  }
  const base::Status deleted = device::DeleteMessage(id);
  status_->setText(deleted.ok() ? QString("Message %1 deleted.").arg(id)
                                : QString::fromStdString(deleted.message()));
  Refresh();
  return deleted.ok();
}

int RunMessagingWindow(const std::string& store, int argc, char** argv) {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return Fail(opened);
  bool known = false;
  for (const std::string& name : device::StoreNames()) known |= name == store;
  if (!known) return Fail("no store \"" + store + "\" on the device");

  QApplication app(argc, argv);
  MessagingWindow window(store);
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
