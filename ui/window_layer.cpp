#include "ui/window_layer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QFocusFrame>
#include <QHBoxLayout>
#include <QImage>
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
#include <QScreen>
#include <QTextDocument>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>

#include "device/codepage.h"
#include "device/message_box.h"
#include "device/qt_text.h"
#include "ui/bidi.h"
#include "ui/ui_texts.h"

namespace ui {
namespace {

// A text control this tall (in dialog units) or taller holds two lines.
constexpr int kTwoLineTextUnits = 12;

// True when `text` has a letter with a direction of its own (digits and
// signs take theirs from around them).
bool HasStrongDirection(const QString& text) {
  for (QChar c : text) {
    switch (c.direction()) {
      case QChar::DirL:
      case QChar::DirR:
      case QChar::DirAL:
        return true;
      default:
        break;
    }
  }
  return false;
}

// A field the user types into lays its text out in the text's own direction
// (that of its first letter), as a browser does with dir="auto": an address
// typed into a mirrored window stays as written, and so does Arabic typed
// into an English one. An empty field, or one of digits only, follows the
// window. (Fields that only show texts get them isolated instead.)
void FollowTextDirection(QWidget* field, const QString& text) {
  if (HasStrongDirection(text)) {
    field->setLayoutDirection(text.isRightToLeft() ? Qt::RightToLeft
                                                   : Qt::LeftToRight);
  } else {
    field->unsetLayoutDirection();
  }
}

std::mutex g_dialogs_lock;
std::set<TemplateDialog*> g_dialogs;

}  // namespace

QString ToQt(const std::u16string& text) { return device::ToQString(text); }

std::u16string FromQt(const QString& text) { return device::FromQString(text); }

void RunOnUiThread(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() == app->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void PostToUiThread(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

QSize ScreenFitted(const QSize& wanted) {
  // Room for a title bar and borders.
  constexpr QSize kFrameRoom(16, 40);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return wanted;
  return wanted.boundedTo(screen->availableGeometry().size() - kFrameRoom);
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
    p.setPen(QPen(QColor(0xe0, 0x4a, 0x3a), std::max(1.5, s / 10),
                  Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(s * 0.2, s * 0.76), QPointF(s * 0.8, s * 0.22));
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// --- template dialogs
// ---------------------------------------------------------

TemplateDialog::TemplateDialog(const resources::DialogTemplate& tmpl,
                               QWidget* parent)
    : QWidget(parent), template_(tmpl) {
  using K = resources::ControlKind;
  for (const resources::ControlTemplate& c : template_.controls) {
    QWidget* widget = nullptr;
    QString text = ToQt(c.text);
    switch (c.kind) {
      case K::kText: {
        auto* label = new QLabel(text, this);
        // A text the template gives room for two lines wraps (the About
        // box's description); a one-line label keeps to its line.
        label->setWordWrap(c.height >= kTwoLineTextUnits);
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
          connect(edit, &QLineEdit::returnPressed, this,
                  [this, id = c.id] { emit Command(id); });
          connect(
              edit, &QLineEdit::textChanged, edit,
              [edit](const QString& now) { FollowTextDirection(edit, now); });
        }
        widget = edit;
        break;
      }
      case K::kMultiLineEdit:
      case K::kMultiLineInput: {
        auto* edit = new QPlainTextEdit(text, this);
        edit->setReadOnly(c.kind == K::kMultiLineEdit);
        if (c.kind == K::kMultiLineInput) {
          connect(edit, &QPlainTextEdit::textChanged, edit,
                  [edit] { FollowTextDirection(edit, edit->toPlainText()); });
        }
        widget = edit;
        break;
      }
      case K::kButton: {
        auto* button = new QPushButton(text, this);
        connect(button, &QPushButton::clicked, this,
                [this, id = c.id] { emit Command(id); });
        widget = button;
        break;
      }
      case K::kCheckBox: {
        auto* box = new QCheckBox(text, this);
        connect(box, &QCheckBox::toggled, this,
                [this, id = c.id] { emit Command(id); });
        widget = box;
        break;
      }
      case K::kListBox: {
        auto* list = new QListWidget(this);
        list->setSelectionMode(c.multi_select
                                   ? QAbstractItemView::ExtendedSelection
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
    if (c.kind == K::kReadOnlyEdit || c.kind == K::kMultiLineEdit)
      widget->installEventFilter(this);
  }
  RefreshAccessibleNames();
  base_font_ = font();
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
    RefreshAccessibleNames();  // the controls it labels are renamed
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
  if (auto* m = qobject_cast<QPlainTextEdit*>(w))
    return FromQt(m->toPlainText());
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return FromQt(b->text());
  return u"";
}

QListWidget* TemplateDialog::ListBox(int id) const {
  return qobject_cast<QListWidget*>(Control(id));
}
QCheckBox* TemplateDialog::CheckBox(int id) const {
  return qobject_cast<QCheckBox*>(Control(id));
}

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

void TemplateDialog::RefreshAccessibleNames() {
  for (const resources::ControlTemplate& c : template_.controls) {
    QWidget* widget = Control(c.id);
    if (widget == nullptr) continue;
    QString name;
    if (auto* label = qobject_cast<QLabel*>(Control(c.label))) {
      // A label ends in a colon at most ("Select Language:"): the name
      // does not.
      name = PlainText(label->text()).trimmed();
      if (name.endsWith(u':')) name.chop(1);
    } else if (c.name_text != 0) {
      name = ToQt(UiTextOf(c.name_text));
    }
    if (!name.isEmpty()) widget->setAccessibleName(name);
  }
}

bool TemplateDialog::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
    auto* control = qobject_cast<QWidget*>(watched);
    if (control != nullptr) {
      if (focus_frame_ == nullptr) focus_frame_ = new QFocusFrame(this);
      focus_frame_->setWidget(event->type() == QEvent::FocusIn ? control
                                                               : nullptr);
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TemplateDialog::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  Layout();
}

namespace {

// The window size at which the templates look as designed with the
// desktop's font (a 480 x 640 portrait window: about 3.4 pixels a dialog
// unit). Larger windows get a larger font, up to kMaxFontScale.
constexpr double kDesignScale = 3.4;
constexpr double kMaxFontScale = 1.3;
// A dialog unit is never taller than this share of a line of text, so that
// on a large window the spare height goes to the list, not to fat fields.
// In a dialog with such a list the unit is what it was made for, an eighth
// of a line (a one-line field of 12 units is a line and a half); a dialog
// without one spreads its controls over a little more.
constexpr double kUnitPerLine = 0.125;
constexpr double kUnitPerLineNoStretch = 0.22;
// The stretching list shows at least this many lines while the window
// allows it at all.
constexpr int kMinListLines = 5;

bool SpansOverlap(int a, int a_len, int b, int b_len) {
  return a < b + b_len && b < a + a_len;
}

}  // namespace

// Dialog units scale horizontally with the window's width (every control
// keeps its share of the width) and vertically by a unit no larger than
// the horizontal one nor than the font asks, so that the template always
// fits the height; the height left over goes to the stretching control.
// Each control is at least as tall as its text needs; a control that lies
// below another in the template (their columns overlapping) stays below it,
// at the same distance, however much the one above grew. So nothing
// overlaps and nothing falls off the window, in any shape.
std::vector<QRect> TemplateDialog::Place(double sx, double v,
                                         double extra) const {
  const auto& controls = template_.controls;
  const size_t n = controls.size();
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return controls[a].y != controls[b].y ? controls[a].y < controls[b].y
                                          : controls[a].x < controls[b].x;
  });
  const int line = fontMetrics().height();
  using K = resources::ControlKind;
  std::vector<double> top(n), height(n), scaled_top(n), scaled_height(n);
  std::vector<QRect> rects(n);
  for (size_t k = 0; k < n; ++k) {
    size_t i = order[k];
    const resources::ControlTemplate& c = controls[i];
    scaled_top[i] = c.y * v;
    scaled_height[i] = c.height * v;
    double least = line + 6;
    switch (c.kind) {
      case K::kText:
        least = line;
        break;
      case K::kCheckBox:
        least = line + 2;
        break;
      case K::kIcon:
        least = 16;
        break;
      case K::kListBox:
        least = line + 8;
        break;
      case K::kMultiLineEdit:
      case K::kMultiLineInput:
        least = line + 10;
        break;
      default:
        break;
    }
    height[i] = std::max(scaled_height[i], least);
    if (c.stretch) height[i] += extra;
    top[i] = scaled_top[i];
    for (size_t m = 0; m < k; ++m) {
      size_t j = order[m];
      const resources::ControlTemplate& above = controls[j];
      if (above.y >= c.y || !SpansOverlap(above.x, above.width, c.x, c.width))
        continue;
      double moved = (top[j] - scaled_top[j]) + (height[j] - scaled_height[j]);
      top[i] = std::max({top[i], scaled_top[i] + moved, top[j] + height[j]});
    }
    rects[i] = QRect(static_cast<int>(c.x * sx), static_cast<int>(top[i]),
                     std::max(1, static_cast<int>(c.width * sx)),
                     std::max(1, static_cast<int>(height[i])));
  }
  return rects;
}

void TemplateDialog::Layout() {
  if (template_.width <= 0 || template_.height <= 0) return;
  const double w = std::max(width(), 1), h = std::max(height(), 1);
  const double sx = w / template_.width;
  // Fonts in proportion to the window, never below the desktop's.
  double font_scale = std::clamp(
      std::min(sx, h / template_.height) / kDesignScale, 1.0, kMaxFontScale);
  if (std::abs(font_scale - font_scale_) > 0.01) {
    font_scale_ = font_scale;
    QFont f = base_font_;
    if (f.pointSizeF() > 0) {
      f.setPointSizeF(f.pointSizeF() * font_scale);
    } else if (f.pixelSize() > 0) {
      f.setPixelSize(static_cast<int>(f.pixelSize() * font_scale));
    }
    setFont(f);
  }
  const int line = fontMetrics().height();
  const resources::ControlTemplate* stretch = nullptr;
  size_t stretch_index = 0;
  for (size_t i = 0; i < template_.controls.size(); ++i) {
    if (template_.controls[i].stretch) {
      stretch = &template_.controls[i];
      stretch_index = i;
    }
  }
  double v = std::min(
      sx, line * (stretch != nullptr ? kUnitPerLine : kUnitPerLineNoStretch));
  std::vector<QRect> rects;
  int bottom = 0;
  for (int attempt = 0; attempt < 40; ++attempt) {
    rects = Place(sx, v, 0);
    bottom = 0;
    for (const QRect& r : rects) bottom = std::max(bottom, r.y() + r.height());
    double need = 0;
    if (stretch != nullptr) {
      need = std::max(
          0, kMinListLines * (line + 2) + 6 - rects[stretch_index].height());
    }
    if (h - bottom >= need || v < 0.5) break;
    v *= 0.94;
  }
  if (stretch != nullptr && h > bottom) rects = Place(sx, v, h - bottom);
  for (size_t i = 0; i < template_.controls.size(); ++i) {
    QRect r = rects[i];
    // Right-to-left languages mirror the template.
    if (layoutDirection() == Qt::RightToLeft)
      r.moveLeft(width() - r.x() - r.width());
    if (QWidget* widget = Control(template_.controls[i].id))
      widget->setGeometry(r);
  }
}

namespace {
std::function<void()>& OpenedHook() {
  static std::function<void()> hook;
  return hook;
}
}  // namespace

void SetDialogOpenedHook(std::function<void()> hook) {
  OpenedHook() = std::move(hook);
}

void DialogOpened() {
  if (OpenedHook()) OpenedHook()();
}

std::vector<TemplateDialog*> OpenDialogs() {
  std::lock_guard<std::mutex> guard(g_dialogs_lock);
  return std::vector<TemplateDialog*>(g_dialogs.begin(), g_dialogs.end());
}

// --- lists of entries
// ---------------------------------------------------------

namespace {

// Where an item keeps its entry's lines as they were given.
constexpr int kEntryLinesRole = Qt::UserRole + 1;

// "____1. E-MAIL____" as it is read out: "1. E-MAIL".
QString SpokenHeader(const QString& header) {
  qsizetype first = 0, last = header.size();
  while (first < last && header[first] == u'_') ++first;
  while (last > first && header[last - 1] == u'_') --last;
  return header.mid(first, last - first);
}

}  // namespace

void FillEntryList(QListWidget* list, const std::vector<std::u16string>& lines,
                   int lines_per_entry) {
  QSignalBlocker block(list);
  list->clear();
  if (lines_per_entry < 1) return;
  const size_t per_entry = static_cast<size_t>(lines_per_entry);
  for (size_t first = 0; first < lines.size(); first += per_entry) {
    QStringList given, shown, spoken;
    for (size_t k = first; k < first + per_entry && k < lines.size(); ++k) {
      const QString line = ToQt(lines[k]);
      given << line;
      shown << Isolated(line);
      spoken << (k == first ? SpokenHeader(line) : line);
    }
    auto* item = new QListWidgetItem(shown.join(u'\n'));
    item->setData(kEntryLinesRole, given);
    item->setData(Qt::AccessibleTextRole, spoken.join(u'\n'));
    list->addItem(item);
  }
}

std::vector<std::u16string> EntryLines(const QListWidget* list, int row) {
  std::vector<std::u16string> lines;
  const QListWidgetItem* item =
      list != nullptr && row >= 0 ? list->item(row) : nullptr;
  if (item == nullptr) return lines;
  for (const QString& line : item->data(kEntryLinesRole).toStringList())
    lines.push_back(FromQt(line));
  return lines;
}

// --- the menu bar
// -------------------------------------------------------------

QString PlainText(const QString& shown) {
  QString plain;
  plain.reserve(shown.size());
  for (qsizetype i = 0; i < shown.size(); ++i) {
    if (shown[i] == u'&' && i + 1 < shown.size()) ++i;
    plain.append(shown[i]);
  }
  return plain;
}

namespace {

constexpr char kPlainTextProperty[] = "plain_text";

// The text with an accelerator on its first letter that no sibling has yet;
// an '&' of the text itself is doubled so that it shows as written.
QString WithAccelerator(const QString& plain, std::set<QChar>* used) {
  QString shown;
  bool marked = false;
  for (QChar c : plain) {
    if (c == u'&') {
      shown += "&&";
      continue;
    }
    QChar lower = c.toLower();
    if (!marked && c.isLetterOrNumber() && used->count(lower) == 0) {
      used->insert(lower);
      shown += u'&';
      marked = true;
    }
    shown += c;
  }
  return shown;
}

void SetPlain(QObject* object, const QString& text) {
  object->setProperty(kPlainTextProperty, text);
}

QString Plain(const QObject* object) {
  return object->property(kPlainTextProperty).toString();
}

void RefreshMenuAccelerators(QMenu* menu) {
  std::set<QChar> used;
  for (QAction* action : menu->actions()) {
    if (action->isSeparator()) continue;
    action->setText(WithAccelerator(Plain(action), &used));
    if (action->menu() != nullptr) RefreshMenuAccelerators(action->menu());
  }
}

void FillMenu(QMenu* menu, const std::vector<resources::MenuItem>& items,
              SoftKeyBar* bar) {
  for (const resources::MenuItem& item : items) {
    if (item.separator) {
      menu->addSeparator();
    } else if (!item.items.empty()) {
      QMenu* sub = menu->addMenu(ToQt(item.text));
      SetPlain(sub->menuAction(), ToQt(item.text));
      FillMenu(sub, item.items, bar);
    } else {
      QAction* action = menu->addAction(ToQt(item.text));
      SetPlain(action, ToQt(item.text));
      action->setData(item.command);
      QObject::connect(action, &QAction::triggered, bar,
                       [bar, id = item.command] { emit bar->Command(id); });
    }
  }
}

// True when the menu's actions have the structure of `items`: the same
// entries, separators, popups and command ids in the same places.
bool SameStructure(QMenu* menu, const std::vector<resources::MenuItem>& items) {
  QList<QAction*> actions = menu->actions();
  if (actions.size() != static_cast<qsizetype>(items.size())) return false;
  for (size_t i = 0; i < items.size(); ++i) {
    QAction* action = actions[static_cast<qsizetype>(i)];
    const resources::MenuItem& item = items[i];
    if (action->isSeparator() != item.separator) return false;
    if (item.separator) continue;
    if ((action->menu() != nullptr) != !item.items.empty()) return false;
    if (action->menu() != nullptr) {
      if (!SameStructure(action->menu(), item.items)) return false;
    } else if (action->data().toInt() != item.command) {
      return false;
    }
  }
  return true;
}

void RelabelMenu(QMenu* menu, const std::vector<resources::MenuItem>& items) {
  QList<QAction*> actions = menu->actions();
  for (size_t i = 0; i < items.size(); ++i) {
    QAction* action = actions[static_cast<qsizetype>(i)];
    if (items[i].separator) continue;
    SetPlain(action, ToQt(items[i].text));
    if (action->menu() != nullptr) RelabelMenu(action->menu(), items[i].items);
  }
}

}  // namespace

SoftKeyBar::SoftKeyBar(QWidget* parent) : QWidget(parent) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
}

void SoftKeyBar::SetMenu(const std::vector<resources::MenuItem>& menu) {
  bool same = !keys_.empty() && keys_.size() == menu.size();
  for (size_t i = 0; same && i < keys_.size(); ++i) {
    same = keys_[i]->menu() != nullptr &&
           SameStructure(keys_[i]->menu(), menu[i].items);
  }
  if (same) {
    for (size_t i = 0; i < keys_.size(); ++i) {
      SetPlain(keys_[i], ToQt(menu[i].text));
      RelabelMenu(keys_[i]->menu(), menu[i].items);
    }
    RefreshAccelerators();
    return;
  }
  Build(menu);
}

void SoftKeyBar::Build(const std::vector<resources::MenuItem>& menu) {
  for (QPushButton* key : keys_) {
    // Its popup may be the one whose handler is running right now.
    key->hide();
    layout()->removeWidget(key);
    key->deleteLater();
  }
  keys_.clear();
  for (const resources::MenuItem& top : menu) {
    auto* key = new QPushButton(ToQt(top.text), this);
    SetPlain(key, ToQt(top.text));
    auto* popup = new QMenu(key);
    FillMenu(popup, top.items, this);
    key->setMenu(popup);
    layout()->addWidget(key);
    keys_.push_back(key);
  }
  RefreshAccelerators();
}

void SoftKeyBar::RefreshAccelerators() {
  std::set<QChar> used;
  for (QPushButton* key : keys_) {
    key->setText(WithAccelerator(Plain(key), &used));
    if (key->menu() != nullptr) RefreshMenuAccelerators(key->menu());
  }
}

QPushButton* SoftKeyBar::Key(int index) const {
  return index >= 0 && index < static_cast<int>(keys_.size())
             ? keys_[static_cast<size_t>(index)]
             : nullptr;
}

QMenu* SoftKeyBar::Popup(int index) const {
  QPushButton* key = Key(index);
  return key != nullptr ? key->menu() : nullptr;
}

std::u16string SoftKeyBar::KeyText(int index) const {
  QPushButton* key = Key(index);
  return key != nullptr ? FromQt(Plain(key)) : u"";
}

void SoftKeyBar::OpenKey(int index) {
  if (QPushButton* key = Key(index)) {
    key->setFocus(Qt::ShortcutFocusReason);
    key->showMenu();
  }
}

bool SoftKeyBar::SetItemText(const std::vector<int>& path,
                             const std::u16string& text) {
  if (path.empty()) return false;
  QPushButton* key = Key(path[0]);
  if (key == nullptr) return false;
  if (path.size() == 1) {
    SetPlain(key, ToQt(text));
    RefreshAccelerators();
    return true;
  }
  QMenu* menu = key->menu();
  for (size_t i = 1; menu != nullptr && i < path.size(); ++i) {
    QList<QAction*> actions = menu->actions();
    if (path[i] < 0 || path[i] >= actions.size()) return false;
    QAction* action = actions[path[i]];
    if (i + 1 == path.size()) {
      if (action->isSeparator()) return false;
      SetPlain(action, ToQt(text));
      RefreshAccelerators();
      return true;
    }
    menu = action->menu();
  }
  return false;
}

namespace {

// The item of the keys' menus that carries a command id, or null.
QAction* CommandAction(const std::vector<QPushButton*>& keys, int command) {
  if (command == 0) return nullptr;
  for (QPushButton* key : keys) {
    std::vector<QMenu*> menus = {key->menu()};
    while (!menus.empty()) {
      QMenu* menu = menus.back();
      menus.pop_back();
      if (menu == nullptr) continue;
      for (QAction* action : menu->actions()) {
        if (action->menu() != nullptr) {
          menus.push_back(action->menu());
        } else if (!action->isSeparator() &&
                   action->data().toInt() == command) {
          return action;
        }
      }
    }
  }
  return nullptr;
}

}  // namespace

bool SoftKeyBar::SetCommandText(int command, const std::u16string& text) {
  QAction* action = CommandAction(keys_, command);
  if (action == nullptr) return false;
  SetPlain(action, ToQt(text));
  RefreshAccelerators();
  return true;
}

std::u16string SoftKeyBar::CommandText(int command) const {
  QAction* action = CommandAction(keys_, command);
  return action != nullptr ? FromQt(Plain(action)) : u"";
}

// --- the page viewer
// ----------------------------------------------------------

namespace {

// The document of a PageView: every resource it names (image, style sheet,
// anything) is answered with one blank pixel without being looked at.
// QTextDocument's own loadResource would read local files, and an image
// that came back empty would be loaded from its name by the text layout,
// so neither may happen.
QVariant Nothing() {
  static const QImage blank = [] {
    QImage image(1, 1, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
  }();
  return blank;
}

class PageDocument : public QTextDocument {
 public:
  explicit PageDocument(QObject* parent) : QTextDocument(parent) {
    setResourceProvider([](const QUrl&) { return Nothing(); });
  }

 protected:
  QVariant loadResource(int, const QUrl&) override { return Nothing(); }
};

}  // namespace

PageView::PageView(QWidget* parent) : QTextBrowser(parent) {
  setDocument(new PageDocument(this));
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setUndoRedoEnabled(false);
}

namespace {

// A page that says it is UTF-8 (a byte-order mark, or a charset in its
// first kilobyte).
bool DeclaresUtf8(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return true;
  QByteArray head = QByteArray::fromStdString(bytes.substr(0, 1024)).toLower();
  return head.contains("charset=utf-8") || head.contains("charset=\"utf-8\"");
}

}  // namespace

bool PageView::ShowFile(const std::string& host_path, PageCoding coding) {
  clear();
  // O_NONBLOCK: a FIFO put in the page's place must not hang the window;
  // it is refused below as not a regular file.
  int fd =
      ::open(host_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kMaxPageBytes) {
    ::close(fd);
    return false;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (bytes.size() > static_cast<size_t>(kMaxPageBytes)) break;
  }
  ::close(fd);
  if (bytes.size() > static_cast<size_t>(kMaxPageBytes)) return false;
  // The program writes its message page in the device's code page.
  if (coding == PageCoding::kDeclaredOrDevice && DeclaresUtf8(bytes)) {
    setHtml(
        QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
  } else {
    setHtml(ToQt(device::AnsiToWide(bytes)));
  }
  return true;
}

// --- message boxes
// --------------------------------------------------------------

namespace {

class QtMessageBoxes : public device::MessageBoxHandler {
 public:
  device::MessageBoxAnswer Show(const std::u16string& text,
                                const std::u16string& caption,
                                device::MessageBoxButtons buttons) override {
    QMessageBox::StandardButtons choice = QMessageBox::Ok;
    if (buttons == device::MessageBoxButtons::kOkCancel)
      choice = QMessageBox::Ok | QMessageBox::Cancel;
    if (buttons == device::MessageBoxButtons::kYesNo ||
        buttons == device::MessageBoxButtons::kYesNoDefaultNo)
      choice = QMessageBox::Yes | QMessageBox::No;
    QWidget* owner = QApplication::activeWindow();
    QMessageBox box(QMessageBox::NoIcon, ToQt(caption), ToQt(text), choice,
                    owner);
    if (buttons == device::MessageBoxButtons::kYesNoDefaultNo)
      box.setDefaultButton(QMessageBox::No);
    // The buttons in the current language (UI texts a support file replaces).
    const std::pair<QMessageBox::StandardButton, int> labels[] = {
        {QMessageBox::Ok, resources::kIdTextOk},
        {QMessageBox::Cancel, resources::kIdTextCancel},
        {QMessageBox::Yes, resources::kIdTextYes},
        {QMessageBox::No, resources::kIdTextNo}};
    for (const auto& [button, text_id] : labels) {
      if (QAbstractButton* b = box.button(button))
        b->setText(ToQt(UiTextOf(text_id)));
    }
    switch (box.exec()) {
      case QMessageBox::Yes:
        return device::MessageBoxAnswer::kYes;
      case QMessageBox::No:
        return device::MessageBoxAnswer::kNo;
      case QMessageBox::Cancel:
        return device::MessageBoxAnswer::kCancel;
      default:
        return device::MessageBoxAnswer::kOk;
    }
  }
};

}  // namespace

void InstallQtMessageBoxes() {
  // A handler the process installed before (a test's answers) stays.
  auto previous =
      device::SetMessageBoxHandler(std::make_shared<QtMessageBoxes>());
  if (previous) device::SetMessageBoxHandler(previous);
}

}  // namespace ui
