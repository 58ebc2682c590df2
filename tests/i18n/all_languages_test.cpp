// Every catalogue language through the chooser with the shipped support
// files, the two encodings of support files, and right-to-left mirroring.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "device/codepage.h"
#include "device/message_box.h"
#include "i18n/catalogue.h"
#include "i18n/chooser.h"
#include "i18n/languages.h"
#include "i18n/support_file.h"
#include "resources/control_ids.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/soft_keys.h"
#include "ui/startup.h"
#include "ui/template_dialog.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

namespace about_ids = resources::about_ids;
namespace browser_ids = resources::browser_ids;
namespace chooser_ids = resources::chooser_ids;
namespace rules_ids = resources::rules_ids;
namespace shared_ids = resources::shared_ids;
namespace viewer_ids = resources::viewer_ids;

// A menu text as the user reads it: without the accelerator marks the menus
// add to their texts ("&&" is a literal "&").
QString Shown(QString text) {
  QString out;
  for (int i = 0; i < text.size(); ++i) {
    if (text[i] == u'&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

using testing_support::App;

constexpr char16_t kEmn[] = u"\\Program Files\\Tarnvex\\emn\\Tarnvex.emn.";
const int kUiIds[] = {115, 116, 117, 118, 119, 120, 122, 123, 124,
                      125, 126, 127, 128, 129, 130, 131, 132, 133,
                      134, 135, 136, 137, 138, 139, 140, 141, 142,
                      143, 144, 145, 146, 147, 148, 149, 150, 151};

std::string ShippedFile(const std::string& code) {
  std::string path = std::string(std::getenv("TARNVEX_SOURCE_DIR")) +
                     "/resources/lang/emn/Tarnvex.emn." + code;
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

// The lines of a support file as id -> wide text, controls and UI texts apart.
struct Expected {
  std::map<int, std::u16string> controls, ui_texts;
};

Expected ParseShipped(const std::string& content) {
  bool utf8 = content.rfind("\xEF\xBB\xBF", 0) == 0;
  Expected out;
  size_t start = utf8 ? 3 : 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    std::string line =
        content.substr(start, end == std::string::npos ? end : end - start + 1);
    start = end == std::string::npos ? content.size() : end + 1;
    if (line.size() >= 2 && line[line.size() - 2] == '\r')
      line.erase(line.size() - 2, 1);
    i18n::SupportLine parsed = i18n::ParseSupportLine(line);
    if (!parsed.complete) continue;
    std::u16string text = utf8 ? device::Utf8ToWide(parsed.text)
                               : device::Cp1252ToWide(parsed.text);
    int id = i18n::SupportIdNumber(parsed.id);
    (parsed.section == "STRINGTABLE" ? out.ui_texts : out.controls)[id] = text;
  }
  return out;
}

// Whether a relabelled control shows its whole text.
bool Fits(QWidget* w, const QString& text, std::string* why) {
  if (auto* label = qobject_cast<QLabel*>(w);
      label != nullptr && label->wordWrap()) {
    int height = w->fontMetrics()
                     .boundingRect(QRect(0, 0, w->width(), 1 << 20),
                                   Qt::TextWordWrap, text)
                     .height();
    *why = std::to_string(height) + " px of wrapped text in " +
           std::to_string(w->height()) + " px";
    return height <= w->height();
  }
  int advance = w->fontMetrics().horizontalAdvance(text);
  int room = w->width();
  if (qobject_cast<QCheckBox*>(w) != nullptr) {
    room -= w->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
            w->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
  } else if (qobject_cast<QPushButton*>(w) != nullptr) {
    room -= 6;
  }
  *why = std::to_string(advance) + " px of text in " + std::to_string(room) +
         " px";
  return advance <= room;
}

class AllLanguagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    image_ = std::make_unique<testing_support::TempImage>();
    FindInstallFolder();
    ui::LoadUiTexts();
    i18n::ResetLanguageState();
    boxes_ = std::make_shared<testing_support::RecordingMessageBoxes>();
    device::SetMessageBoxHandler(boxes_);
    window_ = std::make_unique<ui::MainWindow>();
    window_->resize(480, 640);
    window_->show();
    i18n::InstallLanguageCommands();
  }
  void TearDown() override {
    pages_.clear();
    chooser_.reset();
    window_.reset();
    device::SetMessageBoxHandler(nullptr);
    i18n::ResetLanguageState();
    image_.reset();
  }
  void Install(const std::string& code, const std::string& content) {
    image_->WriteFile(kEmn + device::AnsiToWide(code), content);
  }
  // The About box and the rules editor as bare templates, so that their
  // controls are relabelled too.
  void OpenTemplates() {
    for (int id : {resources::kIdAboutTemplate, resources::kIdRulesTemplate}) {
      auto page = std::make_unique<ui::TemplateDialog>(
          resources::LoadDialogTemplate(id));
      page->resize(480, 600);
      page->show();
      pages_.push_back(std::move(page));
    }
  }
  i18n::LanguageChooser& Chooser() {
    chooser_ = std::make_unique<i18n::LanguageChooser>(window_.get());
    chooser_->show();
    return *chooser_;
  }
  void Choose(const std::string& display_name) {
    chooser_->SelectNames({display_name});
    chooser_->Select();
  }
  std::vector<ui::TemplateDialog*> Pages() {
    std::vector<ui::TemplateDialog*> all = {window_->browser(),
                                            chooser_->page()};
    for (auto& page : pages_) all.push_back(page.get());
    return all;
  }

  std::unique_ptr<testing_support::TempImage> image_;
  std::shared_ptr<testing_support::RecordingMessageBoxes> boxes_;
  std::unique_ptr<ui::MainWindow> window_;
  std::unique_ptr<i18n::LanguageChooser> chooser_;
  std::vector<std::unique_ptr<ui::TemplateDialog>> pages_;
};

TEST_F(AllLanguagesTest, EveryRowIsChosenShownWholeAndLeftForEnglish) {
  const resources::LanguageRow* rows = i18n::LanguageCatalogue();
  for (int row = 0; row < resources::kLanguageCount; ++row) {
    Install(rows[row].code, ShippedFile(rows[row].code));
  }
  OpenTemplates();
  Chooser();
  for (int row = 0; row < resources::kLanguageCount; ++row) {
    const std::string code = rows[row].code;
    SCOPED_TRACE(code);
    std::string content = ShippedFile(code);
    ASSERT_FALSE(content.empty()) << "no support file";
    Expected expected = ParseShipped(content);
    // Complete: every UI text and every labelled control of the templates.
    for (int id : kUiIds) EXPECT_EQ(expected.ui_texts.count(id), 1u) << id;
    for (int id : {shared_ids::kSenderLabel,
                   browser_ids::kTimeLabel,
                   shared_ids::kRecipientsLabel,
                   shared_ids::kMessageLabel,
                   browser_ids::kDaysBackLabel,
                   browser_ids::kBlockedBox,
                   browser_ids::kNormalBox,
                   browser_ids::kUpdateButton,
                   rules_ids::kRulesLabel,
                   rules_ids::kAddButton,
                   rules_ids::kDeleteButton,
                   shared_ids::kCloseButton,
                   chooser_ids::kSelectLanguageLabel,
                   chooser_ids::kLanguageName,
                   chooser_ids::kSelectButton,
                   shared_ids::kOkButton,
                   about_ids::kDescription,
                   about_ids::kVersionLabel,
                   about_ids::kCopyrightLabel,
                   about_ids::kMakerLabel,
                   viewer_ids::kBackButton}) {
      EXPECT_EQ(expected.controls.count(id), 1u) << id;
    }

    Choose(rows[row].display_name);
    ASSERT_TRUE(boxes_->shown.empty()) << device::WideToUtf8(boxes_->shown[0]);
    EXPECT_EQ(ui::CurrentLanguageCode(), code);
    // The menu bar shows the row's own texts.
    std::vector<std::u16string> menu =
        resources::LanguageMenuTexts(code.c_str());
    ui::SoftKeyBar* keys = window_->soft_keys();
    EXPECT_EQ(Shown(keys->Key(0)->text()), ui::ToQt(menu[0]));
    EXPECT_EQ(Shown(keys->Key(1)->text()), ui::ToQt(menu[4]));
    QList<QAction*> help = keys->Popup(1)->actions();
    ASSERT_EQ(help.size(), 7);
    EXPECT_EQ(Shown(help[1]->text()), ui::ToQt(menu[6]));
    EXPECT_EQ(Shown(help[6]->text()), ui::ToQt(menu[9]));
    // UI texts replaced, whole.
    for (const auto& [id, text] : expected.ui_texts) {
      EXPECT_LE(text.size(), 99u) << id;
      EXPECT_EQ(ui::UiTextOf(id), text) << id;
    }
    // Every control named is relabelled wherever it is, and shows it all.
    for (const auto& [id, text] : expected.controls) {
      for (ui::TemplateDialog* page : Pages()) {
        QWidget* w = page->Control(id);
        if (w == nullptr) continue;
        EXPECT_EQ(page->ControlText(id), text) << id;
        std::string why;
        EXPECT_TRUE(Fits(w, ui::ToQt(text), &why))
            << id << " " << device::WideToUtf8(text) << ": " << why;
      }
    }
    EXPECT_EQ(QApplication::layoutDirection() == Qt::RightToLeft,
              resources::LanguageIsRightToLeft(code.c_str()));

    // And back to English.
    Choose("English");
    ASSERT_TRUE(boxes_->shown.empty());
    EXPECT_EQ(ui::CurrentLanguageCode(), "eng");
    EXPECT_EQ(Shown(keys->Key(0)->text()), "Use");
    EXPECT_EQ(ui::UiTextOf(116), u"The required file is not available.");
    EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel),
              u"Sender");
    EXPECT_EQ(chooser_->page()->ControlText(chooser_ids::kLanguageName), u"");
    EXPECT_EQ(pages_[0]->ControlText(shared_ids::kCloseButton), u"Close");
    EXPECT_EQ(QApplication::layoutDirection(), Qt::LeftToRight);
  }
}

TEST_F(AllLanguagesTest, CodePageAndMarkedUtf8FilesAreBothReadRight) {
  // Code page 1252: 0xE4 is a-umlaut.
  Install("deu",
          "x=CONTROL;x=1015;x=\"Empf\xE4nger\"\r\nx=STRINGTABLE;x=118;x="
          "\"F\xE4hler\"\r\n");
  // UTF-8 after the byte-order mark, the mark right before the first field.
  Install("rus",
          "\xEF\xBB\xBFx=CONTROL;x=1015;x=\"\xD0\x9E\xD1\x82\"\r\n"
          "x=STRINGTABLE;x=118;x="
          "\"\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0\"\r\n");
  // No mark, and bytes that are no UTF-8 ("\xC3(" is a broken sequence):
  // still code page 1252, byte for byte.
  Install("ukr",
          "x=CONTROL;x=1015;x=\"\xC3(\xE9\"\r\nx=STRINGTABLE;x=118;x="
          "\"\xC3\xA9\"\r\n");
  ASSERT_TRUE(i18n::LocateSupportFile(window_.get(), "deu", true));
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel),
            u"Empfänger");
  EXPECT_EQ(ui::UiTextOf(118), u"Fähler");
  ASSERT_TRUE(i18n::LocateSupportFile(window_.get(), "rus", true));
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel), u"От");
  EXPECT_EQ(ui::UiTextOf(118), u"Ошибка");
  ASSERT_TRUE(i18n::LocateSupportFile(window_.get(), "ukr", true));
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel), u"Ã(é");
  EXPECT_EQ(ui::UiTextOf(118), u"Ã©");  // valid UTF-8, but unmarked
  // A marked file with broken UTF-8 still applies; the broken bytes show as
  // replacement characters.
  Install("bul", "\xEF\xBB\xBFx=STRINGTABLE;x=118;x=\"a\xC3(\"\r\n");
  ASSERT_TRUE(i18n::LocateSupportFile(window_.get(), "bul", true));
  EXPECT_EQ(ui::UiTextOf(118), u"a\uFFFD(");
  // The mark alone: nothing applied, still a success.
  Install("grk", "\xEF\xBB\xBF");
  EXPECT_TRUE(i18n::LocateSupportFile(window_.get(), "grk", true));
  EXPECT_EQ(i18n::SupportFileEncoding("/no/such/file"),
            i18n::SupportEncoding::kCp1252);
}

TEST_F(AllLanguagesTest, RightToLeftMirrorsTheWindowsAndEnglishMirrorsBack) {
  Install("arab", ShippedFile("arab"));
  Install("eng", ShippedFile("eng"));
  Chooser();
  QWidget* sender = window_->browser()->Control(
      shared_ids::kSenderLabel);  // a label at the left
  int width = window_->browser()->width();
  ASSERT_LT(sender->geometry().center().x(), width / 2);
  Choose("Arabic");
  ASSERT_TRUE(boxes_->shown.empty());
  EXPECT_EQ(QApplication::layoutDirection(), Qt::RightToLeft);
  EXPECT_EQ(window_->layoutDirection(), Qt::RightToLeft);
  EXPECT_GT(sender->geometry().center().x(), width / 2);
  // A window opened later is mirrored as well.
  ui::TemplateDialog rules(
      resources::LoadDialogTemplate(resources::kIdRulesTemplate));
  rules.resize(480, 600);
  rules.show();
  EXPECT_GT(rules.Control(rules_ids::kAddButton)->geometry().center().x(),
            240);  // Add, at the left in English
  Choose("English");
  EXPECT_EQ(QApplication::layoutDirection(), Qt::LeftToRight);
  EXPECT_LT(sender->geometry().center().x(), width / 2);
  EXPECT_LT(rules.Control(rules_ids::kAddButton)->geometry().center().x(), 240);
}

TEST_F(AllLanguagesTest, TheMissingFileMessageNamesLanguageAndFile) {
  Chooser();
  Choose("Patois d\xB4Ille et Villaine");
  ASSERT_EQ(boxes_->shown.size(), 1u);
  EXPECT_EQ(boxes_->shown[0],
            u"The required file is not available.\nPatois d´Ille et Villaine: "
            u"Tarnvex.emn.piv");
  EXPECT_EQ(boxes_->captions[0], u"Information");
  EXPECT_EQ(ui::CurrentLanguageCode(), "eng");
}

// The browser in three scripts; scripts/make-screenshots keeps the pictures
// (TARNVEX_SCREENSHOT_DIR).
TEST_F(AllLanguagesTest, TheBrowserRendersInRussianArabicAndJapanese) {
  const char* dir = std::getenv("TARNVEX_SCREENSHOT_DIR");
  for (const char* code : {"rus", "arab", "jap"}) {
    Install(code, ShippedFile(code));
    ASSERT_TRUE(i18n::LocateSupportFile(window_.get(), code, true)) << code;
    window_->browser()->SetControlText(browser_ids::kStatusLine,
                                       ui::UiTextOf(128));
    QApplication::processEvents();
    QImage image = window_->grab().toImage();
    ASSERT_FALSE(image.isNull()) << code;
    EXPECT_EQ(image.width(), window_->width());
    if (dir != nullptr) {
      EXPECT_TRUE(image.save(QString::fromStdString(
          std::string(dir) + "/browser-" + code + ".png")));
    }
  }
}

}  // namespace
