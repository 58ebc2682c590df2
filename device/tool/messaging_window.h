// The messaging application's window of one store (messaging_window.cpp):
// compose fields with Send, and the store's folders with Delete. A class of
// its own so that tests can open it in their process and look at it.
#ifndef TARNVEX_DEVICE_TOOL_MESSAGING_WINDOW_H_
#define TARNVEX_DEVICE_TOOL_MESSAGING_WINDOW_H_

#include <QTimer>
#include <QWidget>
#include <string>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace device_tool {

class MessagingWindow : public QWidget {
 public:
  explicit MessagingWindow(const std::string& store, QWidget* parent = nullptr);

  // The folder view: one item a message, "ID  [FOLDER]  WHO — SUBJECT",
  // the message's id under Qt::UserRole. Refreshed every 300 ms.
  QListWidget* view() const { return view_; }
  QPushButton* delete_button() const { return delete_; }
  QLabel* status() const { return status_; }
  void Refresh();
  // Throws the selected message away (the Delete button and key); false,
  // saying why in the status line, when none is selected or it cannot be.
  bool DeleteSelected();

 private:
  void Send();
  qlonglong SelectedId() const;

  std::string store_;
  QLineEdit* to_ = nullptr;
  QLineEdit* subject_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  QLabel* status_ = nullptr;
  QListWidget* view_ = nullptr;
  QPushButton* delete_ = nullptr;
  QTimer timer_;
};

}  // namespace device_tool

#endif  // TARNVEX_DEVICE_TOOL_MESSAGING_WINDOW_H_
