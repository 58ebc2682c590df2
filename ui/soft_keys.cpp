// The menu bar: the soft keys and their popups built from a menu resource,
// relabelled in place for a new language, with accelerators chosen among
// siblings.
#include "ui/soft_keys.h"

#include <QAction>
#include <QHBoxLayout>
#include <QMenu>
#include <QPushButton>
#include <set>

#include "ui/window_layer.h"

namespace ui {
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

}  // namespace ui
