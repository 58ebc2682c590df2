// A language support file as it lies in the program's emn folder, chosen as
// the language switch chooses it: located, read once, the menu bar switched,
// and every line applied to the open windows (the main window with its
// browser and menu, the language chooser) and to the interface texts; a
// dialog opened afterwards applies it again from memory. Runs on Qt's
// offscreen platform. The first byte of the input picks the language (one
// of them written right to left), the rest is the file.
//
// Checked on the way: the line parser keeps its fields within their 260
// bytes and a complete line has all three; a file within the size bound is
// applied and becomes the current one; the program's name (text 113) is
// never replaced; the last STRINGTABLE line of a replaceable text is that
// text afterwards (cut to its slot); a label or button named by the file's
// last line for it shows that line's text; applying again changes nothing.
#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "fuzz/fuzz_image.h"
#include "i18n/catalogue.h"
#include "i18n/chooser.h"
#include "i18n/languages.h"
#include "i18n/support_file.h"
#include "storage/locations.h"
#include "ui/main_window.h"
#include "ui/startup.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"

namespace {

// Answers every message box at once (nobody is there to press OK).
class SilentBoxes : public device::MessageBoxHandler {
 public:
  device::MessageBoxAnswer Show(const std::u16string&, const std::u16string&,
                                device::MessageBoxButtons) override {
    return device::MessageBoxAnswer::kOk;
  }
};

// German, French, Arabic (right to left) and a code no catalogue row has.
constexpr const char* kCodes[] = {"deu", "fre", "arab", "fzz"};

ui::MainWindow& Window() {
  static int argc = 1;
  static char name[] = "support_file_fuzz";
  static char* argv[] = {name, nullptr};
  static ui::MainWindow* window = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QApplication(argc, argv);  // lives to the end of the process
    fuzzing::FuzzImage();
    FindInstallFolder();
    ui::LoadUiTexts();
    i18n::ResetLanguageState();
    device::SetMessageBoxHandler(std::make_shared<SilentBoxes>());
    auto* made = new ui::MainWindow;
    i18n::InstallLanguageCommands();
    return made;
  }();
  return *window;
}

// The emn folder's file of `code`, on the host.
std::string SupportHostPath(const std::string& code) {
  const std::string folder =
      device::HostPathOrEmpty(u"\\Program Files\\Tarnvex\\emn");
  fuzzing::MakeDir(device::HostPathOrEmpty(u"\\Program Files"));
  fuzzing::MakeDir(device::HostPathOrEmpty(u"\\Program Files\\Tarnvex"));
  fuzzing::MakeDir(folder);
  return folder + "/Tarnvex.emn." + code;
}

void CheckLineParser(const std::string& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(
        start, end == std::string::npos ? std::string::npos : end - start + 1);
    i18n::SupportLine parsed = i18n::ParseSupportLine(line);
    if (parsed.section.size() >= i18n::kFieldBytes ||
        parsed.id.size() >= i18n::kFieldBytes ||
        parsed.text.size() >= i18n::kFieldBytes) {
      std::abort();
    }
    if (parsed.complete && !parsed.has_second_field) std::abort();
    i18n::SupportIdNumber(parsed.id);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

// The controls' texts of the labels and buttons of the open dialogs.
std::map<std::pair<ui::TemplateDialog*, int>, std::u16string> Shown(
    const std::map<int, std::u16string>& named) {
  std::map<std::pair<ui::TemplateDialog*, int>, std::u16string> shown;
  for (ui::TemplateDialog* dialog : ui::OpenDialogs()) {
    for (const auto& [id, text] : named) {
      QWidget* control = dialog->Control(id);
      if (qobject_cast<QLabel*>(control) == nullptr &&
          qobject_cast<QAbstractButton*>(control) == nullptr) {
        continue;
      }
      shown[{dialog, id}] = dialog->ControlText(id);
    }
  }
  return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  ui::MainWindow& window = Window();
  const std::string code = kCodes[data[0] % 4];
  const std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  CheckLineParser(file);
  const std::string host = SupportHostPath(code);
  fuzzing::WriteHostFile(host, file);

  const std::u16string program_name = ui::UiTextOf(113);
  if (!i18n::LocateSupportFile(&window, code, true)) {
    if (file.size() <= i18n::kMaxSupportFileBytes) std::abort();
    return 0;
  }
  if (i18n::CurrentSupportFile().find(".emn." + code) == std::string::npos ||
      ui::CurrentLanguageCode() != code) {
    std::abort();
  }
  if (ui::UiTextOf(113) != program_name) std::abort();

  // What the file says, line by line as the switch reads it.
  std::vector<std::string> lines;
  if (i18n::LoadSupportLines(host, &lines) != i18n::SupportLoad::kRead)
    std::abort();
  const i18n::SupportEncoding encoding = i18n::SupportFileEncoding(host);
  std::map<int, std::u16string> stringtable;
  std::map<int, std::u16string> controls;
  static const std::vector<int> kReplaceable = {
      115, 116, 117, 118, 119, 120, 122, 123, 124, 125, 126, 127, 128,
      129, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140};
  for (const std::string& line : lines) {
    const i18n::SupportLine parsed = i18n::ParseSupportLine(line);
    if (!parsed.has_second_field) break;
    if (!parsed.complete) continue;
    const std::u16string text = i18n::SupportTextToWide(parsed.text, encoding);
    if (parsed.section != "MENUITEM")
      controls[i18n::SupportIdNumber(parsed.id)] = text;
    const std::string upper = [&] {
      std::string s = parsed.section;
      for (char& c : s) c = (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
      return s;
    }();
    if (upper == "STRINGTABLE") {
      for (int id : kReplaceable) {
        if (parsed.id == std::to_string(id)) stringtable[id] = text;
      }
    }
  }
  // An interface text holds kUiTextUnits - 1 units: longer ones are cut.
  for (const auto& [id, text] : stringtable) {
    if (ui::UiTextOf(id) != text.substr(0, ui::kUiTextUnits - 1)) std::abort();
  }
  const auto shown = Shown(controls);
  for (const auto& [where, text] : shown) {
    if (text != controls.at(where.second)) std::abort();
  }

  // A dialog opening applies the file again from memory; nothing changes
  // in what was there.
  {
    i18n::LanguageChooser chooser(&window);
    if (i18n::ApplySupportFile() != true) std::abort();
    for (const auto& [where, text] : Shown(controls)) {
      if (where.first == chooser.page()) continue;
      if (shown.count(where) == 0 || shown.at(where) != text) std::abort();
    }
  }
  return 0;
}
