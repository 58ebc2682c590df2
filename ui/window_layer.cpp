#include "ui/window_layer.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QResizeEvent>
#include <QThread>

#include <algorithm>
#include <mutex>
#include <set>

#include "device/message_box.h"

namespace ui {
namespace {

std::mutex g_dialogs_lock;
std::set<TemplateDialog*> g_dialogs;

}  // namespace

QString ToQt(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string FromQt(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                        static_cast<size_t>(text.size()));
}

void RunOnUiThread(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() == app->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 64, 128}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // A shield (the filter) with an envelope held behind a bar.
    QPainterPath shield;
    double s = size;
    shield.moveTo(s * 0.5, s * 0.04);
    shield.lineTo(s * 0.92, s * 0.18);
    shield.cubicTo(s * 0.92, s * 0.62, s * 0.72, s * 0.86, s * 0.5, s * 0.97);
    shield.cubicTo(s * 0.28, s * 0.86, s * 0.08, s * 0.62, s * 0.08, s * 0.18);
    shield.closeSubpath();
    p.fillPath(shield, QColor(0x1f, 0x5f, 0x8b));
    QRectF envelope(s * 0.24, s * 0.32, s * 0.52, s * 0.34);
    p.fillRect(envelope, Qt::white);
    p.setPen(QPen(QColor(0x1f, 0x5f, 0x8b), std::max(1.0, s / 24)));
    p.drawLine(envelope.topLeft(), QPointF(s * 0.5, s * 0.5));
    p.drawLine(envelope.topRight(), QPointF(s * 0.5, s * 0.5));
    p.setPen(QPen(QColor(0xe0, 0x4a, 0x3a), std::max(1.5, s / 10), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s * 0.2, s * 0.76), QPointF(s * 0.8, s * 0.22));
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// --- template dialogs ---------------------------------------------------------

TemplateDialog::TemplateDialog(const resources::DialogTemplate& tmpl, QWidget* parent)
    : QWidget(parent), template_(tmpl) {
  using K = resources::ControlKind;
  for (const resources::ControlTemplate& c : template_.controls) {
    QWidget* widget = nullptr;
    QString text = ToQt(c.text);
    switch (c.kind) {
      case K::kText: {
        auto* label = new QLabel(text, this);
        label->setWordWrap(false);
        widget = label;
        break;
      }
      case K::kIcon: {
        auto* label = new QLabel(this);
        label->setPixmap(ProgramIcon().pixmap(32, 32));
        label->setScaledContents(true);
        widget = label;
        break;
      }
      case K::kEdit:
      case K::kReadOnlyEdit: {
        auto* edit = new QLineEdit(text, this);
        edit->setReadOnly(c.kind == K::kReadOnlyEdit);
        edit->setFrame(c.border);
        if (c.right_aligned) edit->setAlignment(Qt::AlignRight);
        if (c.kind == K::kEdit) {
          connect(edit, &QLineEdit::returnPressed, this, [this, id = c.id] { emit Command(id); });
        }
        widget = edit;
        break;
      }
      case K::kMultiLineEdit:
      case K::kMultiLineInput: {
        auto* edit = new QPlainTextEdit(text, this);
        edit->setReadOnly(c.kind == K::kMultiLineEdit);
        widget = edit;
        break;
      }
      case K::kButton: {
        auto* button = new QPushButton(text, this);
        connect(button, &QPushButton::clicked, this, [this, id = c.id] { emit Command(id); });
        widget = button;
        break;
      }
      case K::kCheckBox: {
        auto* box = new QCheckBox(text, this);
        connect(box, &QCheckBox::toggled, this, [this, id = c.id] { emit Command(id); });
        widget = box;
        break;
      }
      case K::kListBox: {
        auto* list = new QListWidget(this);
        list->setSelectionMode(c.multi_select ? QAbstractItemView::ExtendedSelection
                                              : QAbstractItemView::SingleSelection);
        list->setSortingEnabled(c.sorted);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        list->setUniformItemSizes(true);
        connect(list, &QListWidget::currentRowChanged, this,
                [this, id = c.id] { emit Command(id); });
        widget = list;
        break;
      }
    }
    widget->setObjectName(QString::number(c.id));
    widget->setProperty("control_id", c.id);
    controls_[c.id] = widget;
  }
  std::lock_guard<std::mutex> guard(g_dialogs_lock);
  g_dialogs.insert(this);
  connect(this, &QObject::destroyed, [this] {
    std::lock_guard<std::mutex> g(g_dialogs_lock);
    g_dialogs.erase(this);
  });
  Layout();
}

QWidget* TemplateDialog::Control(int id) const {
  auto it = controls_.find(id);
  return it != controls_.end() ? it->second : nullptr;
}

bool TemplateDialog::SetControlText(int id, const std::u16string& text) {
  QWidget* w = Control(id);
  QString t = ToQt(text);
  if (auto* l = qobject_cast<QLabel*>(w)) {
    l->setText(t);
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(t);
    e->setCursorPosition(0);
  } else if (auto* m = qobject_cast<QPlainTextEdit*>(w)) {
    m->setPlainText(t);
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setText(t);
  } else {
    return false;
  }
  return true;
}

std::u16string TemplateDialog::ControlText(int id) const {
  QWidget* w = Control(id);
  if (auto* l = qobject_cast<QLabel*>(w)) return FromQt(l->text());
  if (auto* e = qobject_cast<QLineEdit*>(w)) return FromQt(e->text());
  if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return FromQt(m->toPlainText());
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return FromQt(b->text());
  return u"";
}

QListWidget* TemplateDialog::ListBox(int id) const { return qobject_cast<QListWidget*>(Control(id)); }
QCheckBox* TemplateDialog::CheckBox(int id) const { return qobject_cast<QCheckBox*>(Control(id)); }

bool TemplateDialog::IsChecked(int id) const {
  QCheckBox* box = CheckBox(id);
  return box != nullptr && box->isChecked();
}

void TemplateDialog::SetChecked(int id, bool checked) {
  if (QCheckBox* box = CheckBox(id)) {
    QSignalBlocker block(box);
    box->setChecked(checked);
  }
}

std::vector<int> TemplateDialog::ControlIds() const {
  std::vector<int> ids;
  for (const auto& c : template_.controls) ids.push_back(c.id);
  return ids;
}

void TemplateDialog::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Layout();
}

// Dialog units scale to the window's width; the height the template does
// not use goes to its stretching control, and whatever lies below that
// control moves down with it. A control of height 0 is one line of text.
void TemplateDialog::Layout() {
  if (template_.width <= 0 || template_.height <= 0) return;
  double scale = static_cast<double>(std::max(width(), 1)) / template_.width;
  double used = template_.height * scale;
  double spare = std::max(0.0, height() - used);
  const resources::ControlTemplate* stretch = nullptr;
  for (const auto& c : template_.controls) {
    if (c.stretch) stretch = &c;
  }
  int line = fontMetrics().height() + 6;
  int stretch_bottom = stretch != nullptr ? stretch->y + stretch->height : 0;
  for (const auto& c : template_.controls) {
    QWidget* w = Control(c.id);
    double x = c.x * scale, y = c.y * scale, wd = c.width * scale, ht = c.height * scale;
    if (stretch != nullptr) {
      if (&c == stretch) {
        ht += spare - line;
      } else if (c.height == 0 && c.y == stretch_bottom) {
        y = (stretch->y + stretch->height) * scale + spare - line;
      } else if (c.y >= stretch_bottom) {
        y += spare;
      }
    }
    if (c.height == 0) ht = line;
    // Right-to-left languages mirror the template.
    if (layoutDirection() == Qt::RightToLeft) x = width() - x - wd;
    w->setGeometry(static_cast<int>(x), static_cast<int>(y), std::max(1, static_cast<int>(wd)),
                   std::max(1, static_cast<int>(ht)));
  }
}

namespace {
std::function<void()>& OpenedHook() {
  static std::function<void()> hook;
  return hook;
}
}  // namespace

void SetDialogOpenedHook(std::function<void()> hook) { OpenedHook() = std::move(hook); }

void DialogOpened() {
  if (OpenedHook()) OpenedHook()();
}

std::vector<TemplateDialog*> OpenDialogs() {
  std::lock_guard<std::mutex> guard(g_dialogs_lock);
  return std::vector<TemplateDialog*>(g_dialogs.begin(), g_dialogs.end());
}

// --- the menu bar -------------------------------------------------------------

SoftKeyBar::SoftKeyBar(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
}

namespace {

void FillMenu(QMenu* menu, const std::vector<resources::MenuItem>& items, SoftKeyBar* bar) {
  for (const resources::MenuItem& item : items) {
    if (item.separator) {
      menu->addSeparator();
    } else if (!item.items.empty()) {
      FillMenu(menu->addMenu(ToQt(item.text)), item.items, bar);
    } else {
      QAction* action = menu->addAction(ToQt(item.text));
      action->setData(item.command);
      QObject::connect(action, &QAction::triggered, bar,
                       [bar, id = item.command] { emit bar->Command(id); });
    }
  }
}

}  // namespace

void SoftKeyBar::SetMenu(const std::vector<resources::MenuItem>& menu) {
  for (QPushButton* key : keys_) delete key;
  keys_.clear();
  for (const resources::MenuItem& top : menu) {
    auto* key = new QPushButton(ToQt(top.text), this);
    auto* popup = new QMenu(key);
    FillMenu(popup, top.items, this);
    key->setMenu(popup);
    layout()->addWidget(key);
    keys_.push_back(key);
  }
}

QPushButton* SoftKeyBar::Key(int index) const {
  return index >= 0 && index < static_cast<int>(keys_.size()) ? keys_[static_cast<size_t>(index)]
                                                             : nullptr;
}

QMenu* SoftKeyBar::Popup(int index) const {
  QPushButton* key = Key(index);
  return key != nullptr ? key->menu() : nullptr;
}

bool SoftKeyBar::SetItemText(const std::vector<int>& path, const std::u16string& text) {
  if (path.empty()) return false;
  QPushButton* key = Key(path[0]);
  if (key == nullptr) return false;
  if (path.size() == 1) {
    key->setText(ToQt(text));
    return true;
  }
  QMenu* menu = key->menu();
  for (size_t i = 1; menu != nullptr && i < path.size(); ++i) {
    QList<QAction*> actions = menu->actions();
    if (path[i] < 0 || path[i] >= actions.size()) return false;
    QAction* action = actions[path[i]];
    if (i + 1 == path.size()) {
      action->setText(ToQt(text));
      return true;
    }
    menu = action->menu();
  }
  return false;
}

// --- message boxes --------------------------------------------------------------

namespace {

class QtMessageBoxes : public device::MessageBoxHandler {
 public:
  device::MessageBoxAnswer Show(const std::u16string& text, const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    QMessageBox::StandardButtons choice = QMessageBox::Ok;
    if (buttons == device::MessageBoxButtons::kOkCancel) choice = QMessageBox::Ok | QMessageBox::Cancel;
    if (buttons == device::MessageBoxButtons::kYesNo) choice = QMessageBox::Yes | QMessageBox::No;
    QWidget* owner = QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, ToQt(caption), ToQt(text), choice, owner);
    switch (box.exec()) {
      case QMessageBox::Yes: return device::MessageBoxAnswer::kYes;
      case QMessageBox::No: return device::MessageBoxAnswer::kNo;
      case QMessageBox::Cancel: return device::MessageBoxAnswer::kCancel;
      default: return device::MessageBoxAnswer::kOk;
    }
  }
};

}  // namespace

void InstallQtMessageBoxes() {
  // A handler the process installed before (a test's answers) stays.
  auto previous = device::SetMessageBoxHandler(std::make_shared<QtMessageBoxes>());
  if (previous) device::SetMessageBoxHandler(previous);
}

}  // namespace ui
