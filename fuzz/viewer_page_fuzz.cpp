// The page the message viewer shows ("cmsg.htm", or a help page), as it may
// lie on the device: the viewer shows any bytes in either coding without
// reading anything besides the page (no image, style sheet or link is
// loaded). Runs on Qt's offscreen platform: no display is needed.
#include <QApplication>
#include <QUrl>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz/fuzz_image.h"
#include "ui/page_view.h"

namespace {

QApplication& App() {
  static int argc = 1;
  static char name[] = "viewer_page_fuzz";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);  // lives to the end of the process
  }();
  return *app;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  App();
  const std::string path = fuzzing::FuzzImage() + "/cmsg.htm";
  fuzzing::WriteHostFile(path, fuzzing::FromInput(data, size));
  ui::PageView view;
  for (ui::PageCoding coding :
       {ui::PageCoding::kDevice, ui::PageCoding::kDeclaredOrDevice}) {
    if (!view.ShowFile(path, coding)) std::abort();
    view.PlainPage();
    // Whatever the page names, the document resolves nothing but blanks.
    const QVariant image = view.document()->resource(
        QTextDocument::ImageResource, QUrl("file:///etc/passwd"));
    if (image.isValid() && image.typeId() != QMetaType::QImage) std::abort();
  }
  return 0;
}
