#include "i18n/languages.h"

#include <strings.h>

#include <QAction>
#include <QMenu>
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

}  // namespace

std::string CurrentSupportFile() { return g_current_support_file; }

void ResetLanguageState() {
  g_current_support_file.clear();
  ui::CurrentLanguageCode() = "eng";
  ResetMenuBarState();
}

bool LocateSupportFile(QWidget* owner, const std::string& code, bool apply) {
  (void)owner;
  std::string name = ProgramName();
  std::string path = GetSupportFolder() + "\\" + name + ".emn." + code;
  if (!Readable(path)) {
    path = device::LowByteNarrow(device::ProgramFilesFolder()) + "\\" + name + "\\emn\\" + name +
           ".emn." + code;
    if (!Readable(path)) {
      device::ShowMessageBox(ui::UiTextOf(116), ui::UiTextOf(115), device::MessageBoxButtons::kOk);
      return false;
    }
  }
  if (!apply) return true;
  SwitchMenuBar(code);
  g_current_support_file = path;
  ui::CurrentLanguageCode() = code;
  return ApplySupportFile();
}

void RelabelControls(int control_id, const std::string& text) {
  std::u16string wide = device::AnsiToWide(text);
  for (ui::TemplateDialog* dialog : ui::OpenDialogs()) {
    if (dialog->Control(control_id) != nullptr) dialog->SetControlText(control_id, wide);
  }
}

bool ApplySupportFile() {
  if (g_current_support_file.empty()) return false;
  std::string host = device::HostPathOrEmpty(device::AnsiToWide(g_current_support_file));
  if (host.empty()) return false;
  bool read = ReadSupportFile(host, [](const std::string& line) {
    SupportLine parsed = ParseSupportLine(line);
    if (!parsed.has_second_field) return false;
    if (!parsed.complete) return true;
    if (parsed.section == "MENUITEM") {
      RelabelMenuItem(SupportIdNumber(parsed.id), device::AnsiToWide(parsed.text));
    } else {
      RelabelControls(SupportIdNumber(parsed.id), parsed.text);
    }
    if (strcasecmp(parsed.section.c_str(), "STRINGTABLE") == 0 && ReplaceableUiText(parsed.id)) {
      ui::SetUiText(std::stoi(parsed.id), device::AnsiToWide(parsed.text));
    }
    return true;
  });
  if (!read) return false;
  if (ui::MainWindow* window = ui::TheMainWindow()) window->update();
  return true;
}

}  // namespace i18n
