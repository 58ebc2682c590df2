#include "i18n/help.h"

#include <QDesktopServices>
#include <QUrl>

#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "resources/resources.h"
#include "storage/locations.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"

namespace i18n {
namespace {

DocumentOpener& Opener() {
  static DocumentOpener opener = [](const std::string& host_path) {
    return QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(host_path)));
  };
  return opener;
}

}  // namespace

void SetDocumentOpener(DocumentOpener opener) { Opener() = std::move(opener); }

std::u16string FindHelpPage() {
  std::u16string root = GetRootFolder();
  std::u16string program = ui::UiTextOf(resources::kIdAppName);
  std::u16string code = device::AnsiToWide(ui::CurrentLanguageCode());
  const std::u16string places[] = {
      root + u"\\Help\\" + code + u"\\index." + code + u".htm",
      device::ProgramFilesFolder() + u"\\" + program + u"\\Help\\" + code + u"\\index." + code +
          u".htm",
      root + u"\\Help\\eng\\index.eng.htm",
      device::ProgramFilesFolder() + u"\\" + program + u"\\Help\\eng\\index.eng.htm",
  };
  for (const std::u16string& place : places) {
    if (FileExists(place.c_str())) return place;
  }
  return u"";
}

void ShowHelp(QWidget*) {
  std::u16string page = FindHelpPage();
  if (page.empty()) {
    device::ShowMessageBox(ui::UiTextOf(117), ui::UiTextOf(118),
                           device::MessageBoxButtons::kOkCancel);
    return;
  }
  std::string host = device::HostPathOrEmpty(page);
  if (host.empty() || !Opener() || !Opener()(host)) {
    device::ShowMessageBox(ui::UiTextOf(119), ui::UiTextOf(118),
                           device::MessageBoxButtons::kOkCancel);
  }
}

}  // namespace i18n
