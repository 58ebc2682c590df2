// The menu bar: one soft key per top-level popup of a menu resource. Every
// key and item carries the plain text it was given; what is shown adds an
// accelerator (Alt+letter) to it, chosen among the siblings.
#ifndef TARNVEX_UI_SOFT_KEYS_H_
#define TARNVEX_UI_SOFT_KEYS_H_

#include <QPushButton>
#include <QWidget>
#include <string>
#include <vector>

#include "resources/resources.h"

class QMenu;

namespace ui {

class SoftKeyBar : public QWidget {
  Q_OBJECT
 public:
  explicit SoftKeyBar(QWidget* parent = nullptr);
  // The first call builds the keys and popups. Later calls with a menu of
  // the same structure (all language menus share one) relabel the existing
  // keys and actions in place, so that a popup whose handler is running
  // (the language chooser is opened from one) is never destroyed. A menu of
  // another structure replaces the keys; the old ones are deleted only once
  // control is back in the event loop.
  void SetMenu(const std::vector<resources::MenuItem>& menu);
  // Relabels a top-level key, or an item by its path of positions.
  bool SetItemText(const std::vector<int>& path, const std::u16string& text);
  // Relabels the item that carries a command id; false when none does.
  bool SetCommandText(int command, const std::u16string& text);
  // The text of the item that carries a command id, without its accelerator
  // ("" when none does).
  std::u16string CommandText(int command) const;
  QPushButton* Key(int index) const;
  QMenu* Popup(int index) const;
  int KeyCount() const { return static_cast<int>(keys_.size()); }
  // The key's text without its accelerator.
  std::u16string KeyText(int index) const;
  // Opens the popup of a key as its press would (F10, Alt).
  void OpenKey(int index);

 signals:
  void Command(int id);

 private:
  void Build(const std::vector<resources::MenuItem>& menu);
  void RefreshAccelerators();
  std::vector<QPushButton*> keys_;
};

}  // namespace ui

#endif  // TARNVEX_UI_SOFT_KEYS_H_
