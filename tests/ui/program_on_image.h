// The program's own state on a fresh device image, as the window tests need
// it: the stores made, the interface texts loaded, the databases open and,
// when asked, the stores watched. The destructor undoes it in reverse order.
#ifndef TARNVEX_TESTS_UI_PROGRAM_ON_IMAGE_H_
#define TARNVEX_TESTS_UI_PROGRAM_ON_IMAGE_H_

#include <memory>
#include <string>
#include <vector>

#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "i18n/languages.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/record_connections.h"
#include "storage/rules_db.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/test_watch.h"
#include "ui/ui_texts.h"

namespace testing_support {

class ProgramOnImage {
 public:
  ProgramOnImage() = default;
  ProgramOnImage(const ProgramOnImage&) = delete;
  ProgramOnImage& operator=(const ProgramOnImage&) = delete;
  ~ProgramOnImage() {
    if (!image_) return;
    i18n::ResetLanguageState();
    device::SetMessageBoxHandler(nullptr);
    device::CloseMessageService();
    watch_.reset();
    CloseRulesDb();
    ResetMessageDb();
    image_.reset();
  }

  // A new image with `stores`, the texts and the databases; false with the
  // step that failed in *why.
  bool Prepare(const std::vector<std::string>& stores, std::string* why) {
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    ResetRuleTable();
    CloseRulesDb();
    image_ = std::make_unique<TempImage>();
    for (const std::string& store : stores) {
      if (base::Status made = device::CreateStore(store); !made.ok()) {
        *why = made.message();
        return false;
      }
    }
    FindInstallFolder();
    ui::LoadUiTexts();
    i18n::ResetLanguageState();
    InitDatabases();
    return true;
  }

  // Logs on and watches every store, as the program does at start.
  bool Watch(std::string* why) {
    watch_ = std::make_unique<TestWatch>();
    if (!watch_->EnterStores()) {
      *why = "no session with the message service";
      return false;
    }
    return true;
  }

  TempImage& image() { return *image_; }

 private:
  std::unique_ptr<TempImage> image_;
  std::unique_ptr<TestWatch> watch_;
};

}  // namespace testing_support

#endif  // TARNVEX_TESTS_UI_PROGRAM_ON_IMAGE_H_
