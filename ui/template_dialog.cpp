// Dialog pages built from their templates: one Qt control per template
// control, each carrying its numeric id, addressed by that id; the
// controls' accessible names; and the list of open dialogs that a new
// language relabels.
#include "ui/template_dialog.h"

#include <QCheckBox>
#include <QFocusFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <set>

#include "base/mutex.h"
#include "ui/program_icon.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

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

// The dialogs open now, for OpenDialogs (asked from any thread).
base::Mutex g_dialogs_lock;
std::set<TemplateDialog*> g_dialogs GUARDED_BY(g_dialogs_lock);

}  // namespace

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
  {
    base::MutexLock guard(&g_dialogs_lock);
    g_dialogs.insert(this);
  }
  connect(this, &QObject::destroyed, [this] {
    base::MutexLock guard(&g_dialogs_lock);
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
  base::MutexLock guard(&g_dialogs_lock);
  return std::vector<TemplateDialog*>(g_dialogs.begin(), g_dialogs.end());
}

}  // namespace ui
