// The messaging application's folder view: it lists every folder of its
// store, and Delete throws the selected message away (nothing when none is
// selected).
#include "device/tool/messaging_window.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "device/service/service.h"
#include "tests/support/qt_test.h"
#include "tests/support/temp_image.h"

namespace {

int64_t Save(const std::u16string& to, const std::u16string& subject) {
  device::ServiceMessage m;
  m.recipients = {to};
  m.subject = subject;
  m.body = u"text";
  const base::StatusOr<int64_t> id = device::SaveOutgoingMessage("SMS", m);
  EXPECT_TRUE(id.ok()) << id.status().message();
  return id.ok() ? *id : 0;
}

TEST(MessagingWindowTest, DeleteThrowsAwayTheSelectedMessageOnly) {
  testing_support::App();
  testing_support::TempImage image;
  const base::Status made = device::CreateStore("SMS");
  ASSERT_TRUE(made.ok()) << made.message();
  const int64_t first = Save(u"555 0101", u"first");
  const int64_t second = Save(u"555 0102", u"second");
  device_tool::MessagingWindow window("SMS");
  QListWidget* view = window.view();
  ASSERT_EQ(view->count(), 2);
  EXPECT_TRUE(view->item(0)->text().contains("[Outbox]  555 0101"))
      << view->item(0)->text().toStdString();

  // Nothing selected: nothing goes.
  EXPECT_FALSE(window.DeleteSelected());
  EXPECT_EQ(view->count(), 2);

  view->setCurrentRow(0);
  window.delete_button()->click();
  device::ServiceMessage m;
  EXPECT_FALSE(device::GetServiceMessage(first, &m));
  EXPECT_TRUE(device::GetServiceMessage(second, &m));
  ASSERT_EQ(view->count(), 1);
  EXPECT_EQ(view->item(0)->data(Qt::UserRole).toLongLong(), second);
  EXPECT_TRUE(window.status()->text().contains("deleted"));
  device::CloseMessageService();
}

}  // namespace
