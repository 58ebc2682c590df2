// Texts that come from a message, a rule or the clock keep their own
// direction wherever they are shown: Latin addresses, times and sentences
// inside a mirrored (Arabic, Hebrew) window, Arabic text inside a Latin one.
// Checked on the glyphs Qt lays out for the very texts the controls show, in
// the direction the controls have. The Arabic list is kept as a picture for
// the documentation (TARNVEX_SCREENSHOT_DIR).
#include "ui/bidi.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGlyphRun>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QTextLayout>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/codepage.h"
#include "device/message_box.h"
#include "device/service/service.h"
#include "filter/rule_table.h"
#include "hold/monitor.h"
#include "hold/stores.h"
#include "i18n/languages.h"
#include "resources/control_ids.h"
#include "storage/init.h"
#include "storage/locations.h"
#include "storage/message_db.h"
#include "storage/rules_db.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"
#include "tests/ui/program_on_image.h"
#include "ui/browser.h"
#include "ui/main_window.h"
#include "ui/rules_editor.h"
#include "ui/ui_texts.h"
#include "ui/window_layer.h"

namespace {

namespace browser_ids = resources::browser_ids;
namespace rules_ids = resources::rules_ids;

using testing_support::App;

constexpr char16_t kEmn[] = u"\\Program Files\\Tarnvex\\emn\\Tarnvex.emn.";

std::string ShippedFile(const std::string& code) {
  std::ifstream in(std::string(std::getenv("TARNVEX_SOURCE_DIR")) +
                       "/resources/lang/emn/Tarnvex.emn." + code,
                   std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

// The left edge of each character's glyphs when `line` is laid out as one
// paragraph of `direction` (NaN for a character that draws nothing).
std::vector<double> GlyphLefts(const QString& line,
                               Qt::LayoutDirection direction,
                               const QFont& font) {
  QTextLayout layout(line, font);
  QTextOption option;
  option.setTextDirection(direction);
  layout.setTextOption(option);
  layout.beginLayout();
  QTextLine text_line = layout.createLine();
  text_line.setLineWidth(100000);
  layout.endLayout();
  std::vector<double> lefts;
  for (int k = 0; k < line.size(); ++k) {
    QList<QGlyphRun> runs = layout.glyphRuns(k, 1);
    double left = std::nan("");
    for (const QGlyphRun& run : runs) {
      if (run.glyphIndexes().isEmpty()) continue;
      double x = run.boundingRect().left();
      left = std::isnan(left) ? x : std::min(left, x);
    }
    lefts.push_back(left);
  }
  return lefts;
}

// Whether the left-to-right `run` (found in `line`) is drawn as written:
// every character of it left of the next one.
::testing::AssertionResult KeepsItsOrder(const QString& line,
                                         const QString& run,
                                         Qt::LayoutDirection direction,
                                         const QFont& font) {
  const qsizetype at = line.indexOf(run);
  if (at < 0) {
    return ::testing::AssertionFailure()
           << "\"" << run.toStdString() << "\" is not in \""
           << line.toStdString() << "\"";
  }
  std::vector<double> lefts = GlyphLefts(line, direction, font);
  double last = std::nan("");
  for (qsizetype k = at; k < at + run.size(); ++k) {
    if (run[k - at] == u' ' || std::isnan(lefts[k])) continue;
    if (!std::isnan(last) && lefts[k] <= last)
      return ::testing::AssertionFailure()
             << "\"" << run.toStdString() << "\" is drawn out of order in \""
             << line.toStdString() << "\" (character " << (k - at) << ")";
    last = lefts[k];
  }
  return ::testing::AssertionSuccess();
}

// The direction a field lays out its text in: a one-line field takes it
// from the text's first letter, a page from its document, anything else
// from the window.
Qt::LayoutDirection ParagraphDirection(QWidget* control, const QString& text) {
  if (qobject_cast<QLineEdit*>(control) != nullptr)
    return text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
  if (auto* page = qobject_cast<QPlainTextEdit*>(control)) {
    const Qt::LayoutDirection set =
        page->document()->defaultTextOption().textDirection();
    if (set != Qt::LayoutDirectionAuto) return set;
    return text.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight;
  }
  return control->layoutDirection();
}

// The lines a list shows, each as the delegate lays it out.
std::vector<QString> ListedLines(QListWidget* list) {
  std::vector<QString> lines;
  for (int i = 0; i < list->count(); ++i) {
    for (const QString& line :
         list->item(i)->data(Qt::DisplayRole).toString().split(u'\n'))
      lines.push_back(line);
  }
  return lines;
}

// The line of `lines` that holds `run`, or an empty text.
QString LineWith(const std::vector<QString>& lines, const QString& run) {
  for (const QString& line : lines) {
    if (line.contains(run)) return line;
  }
  return {};
}

class BidiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(program_.Prepare({"SMS"}, &error)) << error;
    ASSERT_TRUE(program_.Watch(&error)) << error;
    boxes_ = std::make_shared<testing_support::RecordingMessageBoxes>();
    device::SetMessageBoxHandler(boxes_);
    std::string today;
    DayText(0, &today);
    int32_t id = 0;
    ASSERT_TRUE(MAPIAdd("SMS", "Anna <anna@example.org>",
                        "Anna <anna@example.org>", "Dinner", "see you.",
                        "see you.", "", 0, today.c_str(), "5:15:03 PM", &id));
    ASSERT_TRUE(AddRule("Anna <anna@example.org>", "Bob <bob@example.org>",
                        "Lunch at 12:30.", 90.0f));
    window_ = std::make_unique<ui::MainWindow>();
    window_->resize(480, 640);
    window_->show();
  }
  void TearDown() override {
    ui::JoinBrowserWorkers();
    window_.reset();
  }
  void Choose(const std::string& code) {
    program_.image().WriteFile(kEmn + device::AnsiToWide(code),
                               ShippedFile(code));
    ASSERT_TRUE(i18n::LocateSupportFile(window_.get(), code, true)) << code;
    ASSERT_TRUE(boxes_->shown.empty());
  }
  void Refill() {
    ui::RefreshMessageList(window_->browser());
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
  }
  QListWidget* List() {
    return window_->browser()->ListBox(browser_ids::kMessageList);
  }

  // The message's texts in the list and, once it is selected, in the
  // fields below it, each drawn in its own order.
  void ExpectTheMessageKeepsItsOrder() {
    Refill();
    QListWidget* list = List();
    ASSERT_GT(list->count(), 0);
    const Qt::LayoutDirection direction = list->layoutDirection();
    std::vector<QString> lines = ListedLines(list);
    for (const char* run :
         {"Anna <anna@example.org>", "5:15:03 PM", "Dinner  see you."}) {
      EXPECT_TRUE(
          KeepsItsOrder(LineWith(lines, run), run, direction, list->font()))
          << "in the list";
    }
    list->setCurrentRow(list->count() - 1);
    QApplication::processEvents();
    ui::Browser* browser = window_->browser();
    const struct {
      int id;
      const char* run;
    } fields[] = {{browser_ids::kRecipientsField, "Anna <anna@example.org>"},
                  {browser_ids::kTimeField, "5:15:03 PM"},
                  {browser_ids::kMessageField, "Dinner  see you."}};
    for (const auto& field : fields) {
      QWidget* control = browser->Control(field.id);
      const QString shown = ui::ToQt(browser->ControlText(field.id));
      EXPECT_TRUE(KeepsItsOrder(shown, field.run,
                                ParagraphDirection(control, shown),
                                control->font()))
          << "in field " << field.id;
    }
  }

  testing_support::ProgramOnImage program_;
  std::shared_ptr<testing_support::RecordingMessageBoxes> boxes_;
  std::unique_ptr<ui::MainWindow> window_;
};

TEST_F(BidiTest, LatinAddressesTimesAndTextsInAnArabicWindow) {
  Choose("arab");
  ASSERT_EQ(window_->layoutDirection(), Qt::RightToLeft);
  ExpectTheMessageKeepsItsOrder();
  // The picture of the Arabic list for the documentation.
  if (const char* dir = std::getenv("TARNVEX_SCREENSHOT_DIR")) {
    List()->setCurrentRow(0);
    QApplication::processEvents();
    EXPECT_TRUE(window_->grab().save(
        QString::fromStdString(std::string(dir) + "/browser-arab-latin.png")));
  }
}

TEST_F(BidiTest, LatinAddressesTimesAndTextsInAHebrewWindow) {
  Choose("heb");
  ASSERT_EQ(window_->layoutDirection(), Qt::RightToLeft);
  ExpectTheMessageKeepsItsOrder();
}

TEST_F(BidiTest, TheRulesKeepTheirOrderInAMirroredWindow) {
  Choose("arab");
  ui::RulesEditor editor(window_.get());
  QListWidget* list = editor.page()->ListBox(rules_ids::kRuleList);
  ASSERT_GT(list->count(), 0);
  std::vector<QString> lines = ListedLines(list);
  for (const char* run : {"Anna <anna@example.org>", "Bob <bob@example.org>",
                          "Lunch at 12:30."}) {
    EXPECT_TRUE(KeepsItsOrder(LineWith(lines, run), run,
                              list->layoutDirection(), list->font()));
  }
}

TEST_F(BidiTest, AFieldTheUserTypesIntoTakesItsTextsDirection) {
  Choose("arab");
  ui::RulesEditor editor(window_.get());
  QWidget* recipients = editor.page()->Control(rules_ids::kRecipientsField);
  editor.page()->SetControlText(rules_ids::kRecipientsField,
                                u"Anna <anna@example.org>");
  EXPECT_EQ(recipients->layoutDirection(), Qt::LeftToRight);
  editor.page()->SetControlText(rules_ids::kRecipientsField,
                                u"\u0639\u0644\u064a 5550199");
  EXPECT_EQ(recipients->layoutDirection(), Qt::RightToLeft);
  // Empty, or digits only: the window's direction.
  editor.page()->SetControlText(rules_ids::kRecipientsField, u"5550199");
  EXPECT_EQ(recipients->layoutDirection(), Qt::RightToLeft);
  // The text itself is kept as typed: no marks are added to what is saved.
  editor.page()->SetControlText(rules_ids::kRecipientsField,
                                u"Anna <anna@example.org>");
  EXPECT_EQ(editor.page()->ControlText(rules_ids::kRecipientsField),
            u"Anna <anna@example.org>");
}

TEST_F(BidiTest, ArabicTextInALatinWindowReadsRightToLeft) {
  ASSERT_EQ(window_->layoutDirection(), Qt::LeftToRight);
  // A text that begins with digits: on its own in a left-to-right line the
  // number would be drawn first, at the left, as if it ended the sentence.
  const QString text = QString::fromUtf8(
      "15 \xD8\xAF\xD9\x82\xD9\x8A\xD9\x82\xD8\xA9");  // "15 minutes"
  const QFont font = window_->font();
  // Read right to left, the number comes first: at the right of the word,
  // whose letters run right to left.
  auto number_first = [&](const QString& line) {
    const qsizetype at = line.indexOf(text);
    std::vector<double> lefts = GlyphLefts(line, Qt::LeftToRight, font);
    const double number = lefts[at];
    double last_letter = 1e9;
    for (qsizetype k = at + 3; k < at + text.size(); ++k) {
      if (lefts[k] >= number || lefts[k] >= last_letter) return false;
      last_letter = lefts[k];
    }
    return true;
  };
  EXPECT_TRUE(number_first(ui::ToQt(ui::Isolated(ui::FromQt(text)))));
  // On its own in a left-to-right line the number would come first at the
  // left, which is what the isolated run prevents.
  EXPECT_FALSE(number_first(text));
  // The browser's date, a text of the clock in the locale's language, is
  // shown isolated as well.
  Refill();
  EXPECT_EQ(window_->browser()->ControlText(browser_ids::kListedDay),
            ui::Isolated(DayText(0, nullptr)));
}

TEST(BidiTextTest, IsolatedRunsAreClosedAndHoldNoStrayIsolates) {
  EXPECT_EQ(ui::Isolated(u""), u"");
  EXPECT_EQ(ui::Isolated(u"abc"), u"\u2068abc\u2069");
  // A text's own isolates stay balanced inside the run; a stray closing one
  // would end the run early, so it goes.
  EXPECT_EQ(ui::Isolated(u"a\u2069b"), u"\u2068ab\u2069");
  EXPECT_EQ(ui::Isolated(u"a\u2067b"), u"\u2068a\u2067b\u2069\u2069");
  EXPECT_EQ(ui::WithoutIsolates(ui::Isolated(u"x\u2066y\u2069")), u"xy");
  EXPECT_EQ(ui::ToQt(ui::Isolated(u"abc")), ui::Isolated(QString("abc")));
}

}  // namespace
