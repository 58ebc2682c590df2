// Languages on Qt's offscreen platform: the catalogue and the chooser, the
// menu bar switch, support files (their format, hostile files, applying two
// in turn) and help.
#include "i18n/languages.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "device/codepage.h"
#include "device/image.h"
#include "device/message_box.h"
#include "i18n/catalogue.h"
#include "i18n/chooser.h"
#include "i18n/help.h"
#include "i18n/support_file.h"
#include "resources/control_ids.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "tests/support/child_process.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/page_view.h"
#include "ui/soft_keys.h"
#include "ui/startup.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

namespace browser_ids = resources::browser_ids;
namespace chooser_ids = resources::chooser_ids;
namespace shared_ids = resources::shared_ids;

using testing_support::App;

using Boxes = testing_support::RecordingMessageBoxes;

constexpr char16_t kEmn[] = u"\\Program Files\\Tarnvex\\emn\\Tarnvex.emn.";

TEST(CatalogueTest, MenuIdsAndCodes) {
  EXPECT_EQ(i18n::MenuIdForLanguage("abenpeno"), 50000);
  EXPECT_EQ(i18n::MenuIdForLanguage("zulu"), 64200);
  EXPECT_EQ(i18n::MenuIdForLanguage("eng"), 53000);
  EXPECT_EQ(i18n::MenuIdForLanguage("DEU"), 54200);
  EXPECT_EQ(i18n::MenuIdForLanguage("klingon"), 0);
  char code[i18n::kCodeBufferSize] = "unchanged";
  EXPECT_FALSE(i18n::CodeForDisplayName("german", code));
  EXPECT_STREQ(code, "unchanged");
  ASSERT_TRUE(i18n::CodeForDisplayName("German", code));
  EXPECT_STREQ(code, "deu");
  ASSERT_TRUE(i18n::CodeForDisplayName("Patois d\xB4Ille et Villaine", code));
  EXPECT_STREQ(code, "piv");
  EXPECT_EQ(i18n::DisplayNames().size(), 143u);
  // Every language has a menu with the same structure and ids.
  for (int k = 0; k < resources::kLanguageCount; ++k) {
    auto menu = resources::LoadMenu(resources::MenuIdOfRow(k));
    ASSERT_EQ(menu.size(), 2u) << k;
    ASSERT_EQ(menu[1].items.size(), 7u);
    EXPECT_EQ(menu[1].items[6].command, resources::kCmdExit);
    EXPECT_EQ(menu[0].items[0].items[0].command, resources::kCmdUpdate);
  }
  EXPECT_EQ(resources::LoadMenu(54201)[0].text, u"Erwerbstätigkeit");
  EXPECT_EQ(resources::LoadMenu(53501)[1].items[5].text, u"Rôdez");
  EXPECT_EQ(resources::LoadMenu(50001)[0].items[0].items[0].text, u"Update");
  EXPECT_TRUE(resources::LoadMenu(1).empty());
}

TEST(SupportFileTest, FieldsQuotesAndNewlines) {
  auto line =
      i18n::ParseSupportLine("x=STRINGTABLE;x=117;x=\"Hilfe fehlt.\"\n");
  ASSERT_TRUE(line.complete);
  EXPECT_EQ(line.section, "STRINGTABLE");
  EXPECT_EQ(line.id, "117");
  EXPECT_EQ(line.text, "Hilfe fehlt.");
  // An unquoted last field keeps the newline; runs of separators count once.
  line = i18n::ParseSupportLine(";;a==CTRL;;b=1015;c=Absender\n");
  ASSERT_TRUE(line.complete);
  EXPECT_EQ(line.section, "CTRL");
  EXPECT_EQ(line.text, "Absender\n");
  // A quoted last line without a newline keeps all its characters.
  line = i18n::ParseSupportLine("x=STRINGTABLE;x=118;x=\"Fehler\"");
  EXPECT_EQ(line.text, "Fehler");
  // A blank before the quote keeps the quotes; a section with a blank is no
  // section word.
  line = i18n::ParseSupportLine("x=MENUITEM ;x=1;x= \"a\"\n");
  EXPECT_EQ(line.section, "MENUITEM ");
  EXPECT_EQ(line.text, " \"a\"\n");
  EXPECT_FALSE(i18n::ParseSupportLine("\n").has_second_field);
  EXPECT_FALSE(i18n::ParseSupportLine("only\n").has_second_field);
  line = i18n::ParseSupportLine("x=CTRL;x\n");
  EXPECT_TRUE(line.has_second_field);
  EXPECT_FALSE(line.complete);
  EXPECT_EQ(i18n::SupportIdNumber("0117"), 117);
  EXPECT_EQ(i18n::SupportIdNumber("  -5x"), -5);
  EXPECT_EQ(i18n::SupportIdNumber("abc"), 0);
  // Fields longer than their 260 bytes are cut.
  line =
      i18n::ParseSupportLine("x=CTRL;x=1;x=" + std::string(100000, 'a') + "\n");
  EXPECT_EQ(line.text.size(), i18n::kFieldBytes - 1);
}

class LanguagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    storage::ResetLocations();
    ResetInitDatabases();
    image_ = std::make_unique<testing_support::TempImage>();
    FindInstallFolder();
    ui::LoadUiTexts();
    i18n::ResetLanguageState();
    boxes_ = std::make_shared<Boxes>();
    device::SetMessageBoxHandler(boxes_);
    window_ = std::make_unique<ui::MainWindow>();
    i18n::InstallLanguageCommands();
  }
  void TearDown() override {
    chooser_.reset();
    window_.reset();
    device::SetMessageBoxHandler(nullptr);
    i18n::ResetLanguageState();
    image_.reset();
  }
  void Install(const char* code) {
    std::string source = std::string(std::getenv("TARNVEX_SOURCE_DIR")) +
                         "/resources/lang/emn/Tarnvex.emn." + code;
    std::ifstream in(source, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)),
                        std::istreambuf_iterator<char>());
    ASSERT_FALSE(content.empty()) << source;
    image_->WriteFile(kEmn + std::u16string(code, code + strlen(code)),
                      content);
  }
  void Write(const char* code, const std::string& content) {
    image_->WriteFile(kEmn + std::u16string(code, code + strlen(code)),
                      content);
  }
  i18n::LanguageChooser& Chooser() {
    chooser_ = std::make_unique<i18n::LanguageChooser>(window_.get());
    return *chooser_;
  }
  std::unique_ptr<testing_support::TempImage> image_;
  std::shared_ptr<Boxes> boxes_;
  std::unique_ptr<ui::MainWindow> window_;
  std::unique_ptr<i18n::LanguageChooser> chooser_;
};

TEST_F(LanguagesTest, TheChooserListsAll143NamesSorted) {
  QListWidget* list = Chooser().page()->ListBox(chooser_ids::kLanguageList);
  ASSERT_EQ(list->count(), 143);
  EXPECT_EQ(list->item(0)->text(), "AbenakiPenobscot");
  EXPECT_EQ(list->item(142)->text(), "Zulu");
  int congo =
      list->row(list->findItems("Congo (Konkani)", Qt::MatchExactly).value(0));
  EXPECT_TRUE(list->item(congo - 1)->text().startsWith("C") ||
              list->item(congo + 1)->text().startsWith("C"));
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST_F(LanguagesTest, GermanWithItsFileSwitchesTheMenuAndRelabels) {
  Install("deu");
  i18n::LanguageChooser& chooser = Chooser();
  chooser.SelectNames({"German"});
  chooser.Select();
  EXPECT_TRUE(boxes_->shown.empty());
  EXPECT_EQ(i18n::CurrentMenuId(), 54201);
  EXPECT_EQ(i18n::CurrentMenu(), window_->soft_keys());
  EXPECT_EQ(window_->soft_keys()->KeyText(0), u"Erwerbstätigkeit");
  EXPECT_EQ(chooser.page()->ControlText(chooser_ids::kSelectLanguageLabel),
            u"Sprache wählen:");
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel),
            u"Absender");
  EXPECT_EQ(ui::UiTextOf(118), u"Fehler");
  EXPECT_EQ(ui::CurrentLanguageCode(), "deu");
  // A second time with the code in capitals: the bar stays.
  EXPECT_FALSE(i18n::SwitchMenuBar("DEU"));
}

TEST_F(LanguagesTest, EscapeClosesTheChooserAsCancel) {
  i18n::LanguageChooser& chooser = Chooser();
  EXPECT_EQ(chooser.windowTitle(), "Language - Tarnvex");
  QTimer::singleShot(50, [&chooser] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&chooser, &escape);
  });
  EXPECT_EQ(chooser.exec(), 2);
}

TEST_F(LanguagesTest, WithoutTheFileNothingChanges) {
  i18n::LanguageChooser& chooser = Chooser();
  chooser.SelectNames({"German"});
  chooser.Select();
  ASSERT_EQ(boxes_->shown.size(), 1u);
  // Text 116, then the language and the file looked for.
  EXPECT_EQ(boxes_->shown[0],
            u"The required file is not available.\nGerman: Tarnvex.emn.deu");
  EXPECT_EQ(boxes_->captions[0], u"Information");
  EXPECT_EQ(i18n::CurrentMenuId(), 116);
  EXPECT_EQ(i18n::CurrentMenu(), nullptr);
  EXPECT_EQ(ui::CurrentLanguageCode(), "eng");
  EXPECT_EQ(window_->soft_keys()->KeyText(0), u"Use");
  // English without an English file: the message, and no change either.
  chooser.SelectNames({"English"});
  chooser.Select();
  EXPECT_EQ(boxes_->shown.size(), 2u);
  EXPECT_FALSE(i18n::SwitchMenuBar("eng"));
  EXPECT_FALSE(i18n::SwitchMenuBar("klingon"));
  EXPECT_EQ(i18n::CurrentMenuId(), 116);
}

TEST_F(LanguagesTest, FrenchAndGermanTogetherMakeFrenchCurrent) {
  Install("fre");
  i18n::LanguageChooser& chooser = Chooser();
  chooser.SelectNames({"French", "German"});
  chooser.Select();
  EXPECT_EQ(ui::CurrentLanguageCode(), "fre");
  EXPECT_EQ(i18n::CurrentMenuId(), 53501);
  ASSERT_EQ(boxes_->shown.size(), 1u);  // German's file is only looked for
  EXPECT_EQ(
      boxes_->shown[0],
      u"Le fichier nécessaire n'est pas disponible.\nGerman: Tarnvex.emn.deu");
}

TEST_F(LanguagesTest, SupportFileRulesWhenApplied) {
  // Before any menu switch a MENUITEM line changes nothing; stringtable in
  // small letters relabels and replaces; 0117 relabels control 117 only.
  Write("tst",
        "x=MENUITEM;x=40008;x=\"Quit\"\r\n"
        "x=stringtable;x=118;x=\"Oops\"\r\n"
        "x=STRINGTABLE;x=0117;x=\"Zero-led\"\r\n"
        "x=menuitem;x=1015;x=\"Sender lowercase menuitem\"\r\n"
        "x=CTRL;x=4242;x=\"no such control\"\r\n");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "tst", true));
  EXPECT_EQ(ui::UiTextOf(118), u"Oops");
  EXPECT_EQ(ui::UiTextOf(117), u"Unable to locate help file.");
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel),
            u"Sender lowercase menuitem");
  EXPECT_EQ(ui::PlainText(window_->soft_keys()->Popup(1)->actions()[6]->text()),
            "Exit");

  // A first line that is empty applies nothing and still succeeds.
  Write("emp", "\nx=STRINGTABLE;x=118;x=\"Never\"\n");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "emp", true));
  EXPECT_EQ(ui::UiTextOf(118), u"Oops");

  // Two languages in turn: what the second does not name keeps the first's.
  Install("deu");
  Install("fre");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "deu", true));
  Write("fre", "x=STRINGTABLE;x=118;x=\"Erreur\"\n");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "fre", true));
  EXPECT_EQ(ui::UiTextOf(118), u"Erreur");
  EXPECT_EQ(ui::UiTextOf(117), u"Die Hilfedatei wurde nicht gefunden.");
  // Now that a menu was switched, a MENUITEM line relabels its entry.
  Write("fre", "x=MENUITEM;x=40008;x=\"Quitter\"\n");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "fre", true));
  EXPECT_EQ(ui::PlainText(window_->soft_keys()->Popup(1)->actions()[6]->text()),
            "Quitter");
}

TEST_F(LanguagesTest, HostileFilesAreReadWithoutHarm) {
  std::string huge;
  for (int i = 0; i < 10 * 1024 * 1024 / 40; ++i)
    huge += "x=CTRL;x=1015;x=\"0123456789012345\"\n";
  Write("big", huge);
  // Beyond the bound: a clear message, and the language stays as it was.
  EXPECT_FALSE(i18n::LocateSupportFile(nullptr, "big", true));
  ASSERT_EQ(boxes_->shown.size(), 1u);
  EXPECT_EQ(boxes_->shown[0], u"The language file is too large to be read.");
  EXPECT_EQ(ui::CurrentLanguageCode(), "eng");
  EXPECT_TRUE(i18n::CurrentSupportFile().empty());
  // Just within it, the file is read.
  Write("fit", huge.substr(0, i18n::kMaxSupportFileBytes));
  EXPECT_TRUE(i18n::LocateSupportFile(nullptr, "fit", true));
  Write("lng", "x=CTRL;x=1015;x=\"" + std::string(100 * 1024, 'L') +
                   "\"\nx=CTRL;x=1023;x=T\n");
  EXPECT_TRUE(i18n::LocateSupportFile(nullptr, "lng", true));
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel).size(),
            i18n::kFieldBytes - 1);
  std::string nul = "x=CTRL;x=1015;x=\"a";
  nul.push_back('\0');
  nul += "b\"\nx=STRINGTABLE;x=123;x=\"W\0\"";
  Write("nul", nul);
  EXPECT_TRUE(i18n::LocateSupportFile(nullptr, "nul", true));
  // A FIFO in a support file's place is no support file (and hangs nothing).
  std::string fifo = image_->Host(kEmn + std::u16string(u"ffo"));
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  size_t shown = boxes_->shown.size();
  EXPECT_FALSE(i18n::LocateSupportFile(nullptr, "ffo", true));
  EXPECT_EQ(boxes_->shown.size(), shown + 1);
  // A NUL inside a section word or an id is one more character of it, as
  // any other would be: "stringtable\0" is no STRINGTABLE and "118\0" no
  // replaceable text id, so neither replaces text 118.
  const std::u16string text_118 = ui::UiTextOf(118);
  std::string nul_fields = "x=stringtable";
  nul_fields +=
      std::string(1, '\0') + ";x=118;x=\"Section\"\nx=STRINGTABLE;x=118";
  nul_fields += std::string(1, '\0') + ";x=\"Id\"\n";
  Write("nuf", nul_fields);
  EXPECT_TRUE(i18n::LocateSupportFile(nullptr, "nuf", true));
  EXPECT_EQ(ui::UiTextOf(118), text_118);
  // A text that begins with U+FEFF keeps it on its way into the window
  // (only the file's own byte-order mark is taken as a mark).
  Write("bom", "\xEF\xBB\xBFx=CTRL;x=1015;x=\"\xEF\xBB\xBF\xD8\xA7\"\n");
  EXPECT_TRUE(i18n::LocateSupportFile(nullptr, "bom", true));
  EXPECT_EQ(window_->browser()->ControlText(shared_ids::kSenderLabel),
            u"\uFEFF\u0627");
  Write("nnl", "x=CTRL;x=1023;x=\"no newline at all\"");
  EXPECT_TRUE(i18n::LocateSupportFile(nullptr, "nnl", true));
  EXPECT_EQ(window_->browser()->ControlText(browser_ids::kTimeLabel),
            u"no newline at all");
}

TEST_F(LanguagesTest, TheChosenFileIsReadOnceAndAppliedFromMemory) {
  Write("tst", "x=CTRL;x=20011;x=\"Erste Fassung\"\n");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "tst", true));
  // The file changes on disk, or goes: dialogs opened afterwards still show
  // the language as it was chosen.
  Write("tst", "x=CTRL;x=20011;x=\"Zweite Fassung\"\n");
  EXPECT_EQ(Chooser().page()->ControlText(chooser_ids::kSelectLanguageLabel),
            u"Erste Fassung");
  std::filesystem::remove(image_->Host(kEmn + std::u16string(u"tst")));
  EXPECT_EQ(Chooser().page()->ControlText(chooser_ids::kSelectLanguageLabel),
            u"Erste Fassung");
  // Choosing again reads it again.
  Write("tst", "x=CTRL;x=20011;x=\"Zweite Fassung\"\n");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "tst", true));
  EXPECT_EQ(Chooser().page()->ControlText(chooser_ids::kSelectLanguageLabel),
            u"Zweite Fassung");
}

TEST_F(LanguagesTest, HelpFallsBackToEnglishAndReportsAMissingPage) {
  std::string opened;
  i18n::SetDocumentOpener([&](const std::string& path) {
    opened = path;
    return true;
  });
  window_->RunCommand(resources::kCmdHelp);
  ASSERT_EQ(boxes_->shown.size(), 1u);
  EXPECT_EQ(boxes_->shown[0], u"Unable to locate help file.");
  EXPECT_EQ(boxes_->captions[0], u"Error");
  EXPECT_TRUE(opened.empty());
  EXPECT_FALSE(image_->Exists(u"\\Tarnvex\\Help"));
  EXPECT_FALSE(image_->Exists(u"\\Program Files\\Tarnvex\\Help"));

  image_->WriteFile(u"\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm",
                    "<html></html>");
  Install("deu");
  ASSERT_TRUE(i18n::LocateSupportFile(nullptr, "deu", true));
  window_->RunCommand(resources::kCmdHelp);
  EXPECT_EQ(opened, image_->Host(
                        u"\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm"));
  image_->WriteFile(u"\\Program Files\\Tarnvex\\Help\\deu\\index.deu.htm",
                    "<html></html>");
  window_->RunCommand(resources::kCmdHelp);
  EXPECT_EQ(opened, image_->Host(
                        u"\\Program Files\\Tarnvex\\Help\\deu\\index.deu.htm"));

  // No desktop viewer and a page that the program's own viewer cannot show
  // either (beyond its size bound): text 119, in the current language.
  i18n::SetDocumentOpener([](const std::string&) { return false; });
  image_->WriteFile(u"\\Program Files\\Tarnvex\\Help\\deu\\index.deu.htm",
                    std::string(ui::kMaxPageBytes + 1, 'x'));
  size_t before = boxes_->shown.size();
  window_->RunCommand(resources::kCmdHelp);
  ASSERT_EQ(boxes_->shown.size(), before + 1);
  EXPECT_EQ(boxes_->shown.back(), u"Die Hilfe konnte nicht gestartet werden.");
  EXPECT_EQ(boxes_->captions.back(), u"Fehler");
  EXPECT_EQ(i18n::OpenHelpViewer(), nullptr);
  i18n::SetDocumentOpener(nullptr);
}

TEST_F(LanguagesTest, WithoutADesktopViewerHelpOpensInTheProgramsOwn) {
  // The desktop has no launcher at all: the default opener finds none.
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", "/nonexistent");
  image_->WriteFile(u"\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm",
                    "<html><head><meta "
                    "charset=\"utf-8\"></head><body><h1>Hilfe f\xC3\xBCr alle"
                    "</h1><img src=\"/dev/zero\"></body></html>");
  window_->RunCommand(resources::kCmdHelp);
  qputenv("PATH", path);
  EXPECT_TRUE(boxes_->shown.empty());
  QWidget* help = i18n::OpenHelpViewer();
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->isVisible());
  EXPECT_EQ(help->windowTitle(), "Help - Tarnvex");
  auto* view = help->findChild<ui::PageView*>();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(
      view->PlainPage().contains(QString::fromUtf8("Hilfe f\xC3\xBCr alle")))
      << view->PlainPage().toStdString();
  // Help again uses the same window; closing it ends it.
  window_->RunCommand(resources::kCmdHelp);
  EXPECT_EQ(i18n::OpenHelpViewer(), help);
  help->close();
  QApplication::processEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(i18n::OpenHelpViewer(), nullptr);
}

// Run as the program installed on a card: prints the help page it finds.
TEST(HelpChild, Report) {
  if (std::getenv("TARNVEX_HELP_CHILD") == nullptr) GTEST_SKIP();
  FindInstallFolder();
  printf("page=%s\n", device::WideToUtf8(i18n::FindHelpPage()).c_str());
}

TEST(HelpTest, ProgramOnACardFindsThePagesUnderTheProgramFilesFolder) {
  testing_support::TempImage image;
  ASSERT_TRUE(device::AddStorageCard(u"Storage Card").ok());
  std::string target =
      image.Host(u"\\Storage Card\\Program Files\\Tarnvex\\Tarnvex.exe");
  std::filesystem::create_directories(
      std::filesystem::path(target).parent_path());
  std::filesystem::copy_file("/proc/self/exe", target);
  image.WriteFile(u"\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm",
                  "<html></html>");
  std::string out;
  testing_support::RunProgram(
      {target, "--gtest_filter=HelpChild.Report"}, &out,
      {"TARNVEX_HELP_CHILD=1", "TARNVEX_DEVICE=" + image.root()});
  EXPECT_NE(
      out.find("page=\\Program Files\\Tarnvex\\Help\\eng\\index.eng.htm\n"),
      std::string::npos)
      << out;
}

}  // namespace
