// The current language: finding a language's support file, making it
// current, and applying it to the open windows and the menu bar.
#include "i18n/languages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QResizeEvent>
#include <QTextBrowser>
#include <QWidget>
#include <cstdio>
#include <vector>

#include "base/debug.h"
#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "i18n/catalogue.h"
#include "i18n/support_file.h"
#include "resources/control_ids.h"
#include "storage/locations.h"
#include "text/ascii.h"
#include "ui/main_window.h"
#include "ui/soft_keys.h"
#include "ui/startup.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace i18n {

namespace viewer_ids = resources::viewer_ids;

namespace {

std::string g_current_support_file;
// The current support file's lines, read once when its language was chosen;
// every dialog that opens applies them from here.
std::vector<std::string> g_current_support_lines;
// How the current file's texts are read: UTF-8 after a byte-order mark, else
// the device's code page.
SupportEncoding g_current_support_encoding = SupportEncoding::kCp1252;

// The UI texts a support file may replace (113, the program name, may not).
bool ReplaceableUiText(const std::string& id) {
  // 131 to 151 are this program's own texts (buttons, dialog titles,
  // notices, the names of controls).
  static const char* const kIds[] = {
      "115", "116", "117", "118", "119", "120", "122", "123", "124",
      "125", "126", "127", "128", "129", "130", "131", "132", "133",
      "134", "135", "136", "137", "138", "139", "140", "141", "142",
      "143", "144", "145", "146", "147", "148", "149", "150", "151"};
  for (const char* known : kIds) {
    if (id == known) return true;
  }
  return false;
}

std::string ProgramName() {
  return device::LowByteNarrow(ui::UiTextOf(resources::kIdAppName));
}

bool Readable(const std::string& ce_path) {
  std::string host = device::HostPathOrEmpty(device::AnsiToWide(ce_path));
  if (host.empty()) return false;
  // Non-blocking, so that a FIFO in the file's place cannot hang the
  // window; only a regular file is a support file.
  int fd = ::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  return regular;
}

// A MENUITEM line: its id names the entry with that command id, or else the
// top-level key at that position.
void RelabelMenuItem(int id, const std::u16string& text) {
  ui::SoftKeyBar* bar = CurrentMenu();
  if (bar == nullptr) return;
  if (!bar->SetCommandText(id, text)) bar->SetItemText({id}, text);
}

// The message viewer's button, which has no template: support files name it
// by viewer_ids::kBackButton.
void RelabelViewerButton(const std::u16string& text) {
  ui::MainWindow* window = ui::TheMainWindow();
  if (window == nullptr) return;
  for (QTextBrowser* viewer : window->findChildren<QTextBrowser*>()) {
    QWidget* page = viewer->parentWidget();
    if (page == nullptr) continue;
    for (QPushButton* button :
         page->findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
      button->setText(ui::ToQt(text));
    }
  }
}

// The catalogue's display name of a code, as wide text; the code itself when
// no row has it.
std::u16string DisplayNameOf(const std::string& code) {
  const resources::LanguageRow* rows = LanguageCatalogue();
  for (int row = 0; row < resources::kLanguageCount; ++row) {
    if (EqualIgnoringAsciiCase(rows[row].code, code)) {
      return device::Cp1252ToWide(rows[row].display_name);
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
  g_current_support_lines.clear();
  ui::CurrentLanguageCode() = "eng";
  ResetMenuBarState();
  ApplyLayoutDirection("eng");
}

bool LocateSupportFile(QWidget* owner, const std::string& code, bool apply) {
  (void)owner;
  std::string name = ProgramName();
  std::string path = GetSupportFolder() + "\\" + name + ".emn." + code;
  if (!Readable(path)) {
    path = device::LowByteNarrow(device::ProgramFilesFolder()) + "\\" + name +
           "\\emn\\" + name + ".emn." + code;
    if (!Readable(path)) {
      // Text 116, and on a second line which language and which file.
      std::u16string message = ui::UiTextOf(116) + u"\n" + DisplayNameOf(code) +
                               u": " +
                               device::AnsiToWide(name + ".emn." + code);
      device::ShowMessageBox(message, ui::UiTextOf(115),
                             device::MessageBoxButtons::kOk);
      return false;
    }
  }
  if (!apply) return true;
  std::vector<std::string> lines;
  const std::string host = device::HostPathOrEmpty(device::AnsiToWide(path));
  switch (LoadSupportLines(host, &lines)) {
    case SupportLoad::kRead:
      break;
    case SupportLoad::kTooLarge:
      base::DebugOut("Support file %s is larger than %zu bytes.\r\n",
                     path.c_str(), kMaxSupportFileBytes);
      device::ShowMessageBox(ui::UiTextOf(resources::kIdTextSupportTooBig),
                             ui::UiTextOf(115), device::MessageBoxButtons::kOk);
      return false;
    case SupportLoad::kUnreadable:
      device::ShowMessageBox(ui::UiTextOf(116), ui::UiTextOf(115),
                             device::MessageBoxButtons::kOk);
      return false;
  }
  SwitchMenuBar(code);
  g_current_support_file = path;
  g_current_support_lines = std::move(lines);
  g_current_support_encoding = SupportFileEncoding(host);
  ui::CurrentLanguageCode() = code;
  ApplyLayoutDirection(code);
  return ApplySupportFile();
}

void RelabelControls(int control_id, const std::string& text) {
  RelabelControls(control_id, device::AnsiToWide(text));
}

void RelabelControls(int control_id, const std::u16string& wide) {
  if (control_id == viewer_ids::kBackButton) RelabelViewerButton(wide);
  for (ui::TemplateDialog* dialog : ui::OpenDialogs()) {
    if (dialog->Control(control_id) != nullptr)
      dialog->SetControlText(control_id, wide);
  }
}

bool ApplySupportFile() {
  if (g_current_support_file.empty()) return false;
  const SupportEncoding encoding = g_current_support_encoding;
  for (const std::string& line : g_current_support_lines) {
    SupportLine parsed = ParseSupportLine(line);
    if (!parsed.has_second_field) break;
    if (!parsed.complete) continue;
    if (parsed.section == "MENUITEM") {
      RelabelMenuItem(SupportIdNumber(parsed.id),
                      SupportTextToWide(parsed.text, encoding));
    } else {
      RelabelControls(SupportIdNumber(parsed.id),
                      SupportTextToWide(parsed.text, encoding));
    }
    if (EqualIgnoringAsciiCase(parsed.section, "STRINGTABLE") &&
        ReplaceableUiText(parsed.id)) {
      ui::SetUiText(std::stoi(parsed.id),
                    SupportTextToWide(parsed.text, encoding));
    }
  }
  // Controls named by a UI text are renamed in the new language.
  for (ui::TemplateDialog* dialog : ui::OpenDialogs())
    dialog->RefreshAccessibleNames();
  if (ui::MainWindow* window = ui::TheMainWindow()) {
    window->RefreshTexts();
    window->update();
  }
  return true;
}

}  // namespace i18n
