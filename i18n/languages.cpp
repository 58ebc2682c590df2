#include "i18n/languages.h"

#include <strings.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QResizeEvent>
#include <QTextBrowser>
#include <QWidget>

#include <cstdio>

#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "i18n/catalogue.h"
#include "i18n/support_file.h"
#include "storage/locations.h"
#include "ui/main_window.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace i18n {
namespace {

std::string g_current_support_file;

// The UI texts a support file may replace (113, the program name, may not).
bool ReplaceableUiText(const std::string& id) {
  static const char* const kIds[] = {"115", "116", "117", "118", "119", "120", "122", "123",
                                     "124", "125", "126", "127", "128", "129", "130"};
  for (const char* known : kIds) {
    if (strcasecmp(known, id.c_str()) == 0) return true;
  }
  return false;
}

std::string ProgramName() { return device::LowByteNarrow(ui::UiTextOf(resources::kIdAppName)); }

bool Readable(const std::string& ce_path) {
  std::string host = device::HostPathOrEmpty(device::AnsiToWide(ce_path));
  if (host.empty()) return false;
  FILE* file = std::fopen(host.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

// A MENUITEM line: its id names the entry with that command id, or else the
// top-level key at that position.
void RelabelMenuItem(int id, const std::u16string& text) {
  ui::SoftKeyBar* bar = CurrentMenu();
  if (bar == nullptr) return;
  for (int key = 0; bar->Popup(key) != nullptr; ++key) {
    std::vector<QMenu*> menus = {bar->Popup(key)};
    while (!menus.empty()) {
      QMenu* menu = menus.back();
      menus.pop_back();
      for (QAction* action : menu->actions()) {
        if (action->menu() != nullptr) menus.push_back(action->menu());
        if (!action->isSeparator() && action->data().toInt() == id && id != 0) {
          action->setText(ui::ToQt(text));
          return;
        }
      }
    }
  }
  bar->SetItemText({id}, text);
}

// The message viewer's button, which has no template: support files name it
// by kViewerBackId.
void RelabelViewerButton(const std::u16string& text) {
  ui::MainWindow* window = ui::TheMainWindow();
  if (window == nullptr) return;
  for (QTextBrowser* viewer : window->findChildren<QTextBrowser*>()) {
    QWidget* page = viewer->parentWidget();
    if (page == nullptr) continue;
    for (QPushButton* button : page->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
      button->setText(ui::ToQt(text));
    }
  }
}

// The catalogue's display name of a code, as wide text; the code itself when
// no row has it.
std::u16string DisplayNameOf(const std::string& code) {
  const resources::LanguageRow* rows = LanguageCatalogue();
  for (int row = 0; row < resources::kLanguageCount; ++row) {
    if (strcasecmp(rows[row].code, code.c_str()) == 0) {
      return device::AnsiToWide(rows[row].display_name);
    }
  }
  return device::AnsiToWide(code);
}

// Languages written right to left mirror every window, as desktop programs
// do; any other language mirrors them back. The template dialogs place
// their controls themselves, so they are laid out again.
void ApplyLayoutDirection(const std::string& code) {
  Qt::LayoutDirection direction = resources::LanguageIsRightToLeft(code.c_str())
                                      ? Qt::RightToLeft
                                      : Qt::LeftToRight;
  if (QApplication::layoutDirection() == direction) return;
  QApplication::setLayoutDirection(direction);
  for (ui::TemplateDialog* dialog : ui::OpenDialogs()) {
    QResizeEvent relayout(dialog->size(), dialog->size());
    QApplication::sendEvent(dialog, &relayout);
  }
}

}  // namespace

std::string CurrentSupportFile() { return g_current_support_file; }

void ResetLanguageState() {
  g_current_support_file.clear();
  ui::CurrentLanguageCode() = "eng";
  ResetMenuBarState();
  ApplyLayoutDirection("eng");
}

bool LocateSupportFile(QWidget* owner, const std::string& code, bool apply) {
  (void)owner;
  std::string name = ProgramName();
  std::string path = GetSupportFolder() + "\\" + name + ".emn." + code;
  if (!Readable(path)) {
    path = device::LowByteNarrow(device::ProgramFilesFolder()) + "\\" + name + "\\emn\\" + name +
           ".emn." + code;
    if (!Readable(path)) {
      // Text 116, and on a second line which language and which file.
      std::u16string message = ui::UiTextOf(116) + u"\n" + DisplayNameOf(code) + u": " +
                               device::AnsiToWide(name + ".emn." + code);
      device::ShowMessageBox(message, ui::UiTextOf(115), device::MessageBoxButtons::kOk);
      return false;
    }
  }
  if (!apply) return true;
  SwitchMenuBar(code);
  g_current_support_file = path;
  ui::CurrentLanguageCode() = code;
  ApplyLayoutDirection(code);
  return ApplySupportFile();
}

void RelabelControls(int control_id, const std::string& text) {
  RelabelControls(control_id, device::AnsiToWide(text));
}

void RelabelControls(int control_id, const std::u16string& wide) {
  if (control_id == kViewerBackId) RelabelViewerButton(wide);
  for (ui::TemplateDialog* dialog : ui::OpenDialogs()) {
    if (dialog->Control(control_id) != nullptr) dialog->SetControlText(control_id, wide);
  }
}

bool ApplySupportFile() {
  if (g_current_support_file.empty()) return false;
  std::string host = device::HostPathOrEmpty(device::AnsiToWide(g_current_support_file));
  if (host.empty()) return false;
  SupportEncoding encoding = SupportFileEncoding(host);
  bool read = ReadSupportFile(host, [encoding](const std::string& line) {
    SupportLine parsed = ParseSupportLine(line);
    if (!parsed.has_second_field) return false;
    if (!parsed.complete) return true;
    if (parsed.section == "MENUITEM") {
      RelabelMenuItem(SupportIdNumber(parsed.id), SupportTextToWide(parsed.text, encoding));
    } else {
      RelabelControls(SupportIdNumber(parsed.id), SupportTextToWide(parsed.text, encoding));
    }
    if (strcasecmp(parsed.section.c_str(), "STRINGTABLE") == 0 && ReplaceableUiText(parsed.id)) {
      ui::SetUiText(std::stoi(parsed.id), SupportTextToWide(parsed.text, encoding));
    }
    return true;
  });
  if (!read) return false;
  if (ui::MainWindow* window = ui::TheMainWindow()) window->update();
  return true;
}

}  // namespace i18n
