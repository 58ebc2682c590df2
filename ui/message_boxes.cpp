// The device's message boxes shown as Qt message boxes, their buttons in
// the current language.
#include "ui/message_boxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <memory>
#include <utility>

#include "device/message_box.h"
#include "resources/resources.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace ui {
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
