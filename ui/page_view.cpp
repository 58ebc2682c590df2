// The page viewer: a page the program wrote (the message page, a help
// page) read from a regular file of bounded size and shown without loading
// anything it names.
#include "ui/page_view.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>
#include <QTextDocument>
#include <QUrl>
#include <cerrno>

#include "device/codepage.h"
#include "ui/window_layer.h"

namespace ui {
namespace {

// The document of a PageView: every resource it names (image, style sheet,
// anything) is answered with one blank pixel without being looked at.
// QTextDocument's own loadResource would read local files, and an image
// that came back empty would be loaded from its name by the text layout,
// so neither may happen.
QVariant Nothing() {
  static const QImage blank = [] {
    QImage image(1, 1, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
  }();
  return blank;
}

class PageDocument : public QTextDocument {
 public:
  explicit PageDocument(QObject* parent) : QTextDocument(parent) {
    setResourceProvider([](const QUrl&) { return Nothing(); });
  }

 protected:
  QVariant loadResource(int, const QUrl&) override { return Nothing(); }
};

}  // namespace

PageView::PageView(QWidget* parent) : QTextBrowser(parent) {
  setDocument(new PageDocument(this));
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setUndoRedoEnabled(false);
}

namespace {

// A page that says it is UTF-8 (a byte-order mark, or a charset in its
// first kilobyte).
bool DeclaresUtf8(const std::string& bytes) {
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return true;
  QByteArray head = QByteArray::fromStdString(bytes.substr(0, 1024)).toLower();
  return head.contains("charset=utf-8") || head.contains("charset=\"utf-8\"");
}

}  // namespace

bool PageView::ShowFile(const std::string& host_path, PageCoding coding) {
  clear();
  // O_NONBLOCK: a FIFO put in the page's place must not hang the window;
  // it is refused below as not a regular file.
  int fd =
      ::open(host_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > kMaxPageBytes) {
    ::close(fd);
    return false;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.append(buffer, static_cast<size_t>(got));
    if (bytes.size() > static_cast<size_t>(kMaxPageBytes)) break;
  }
  ::close(fd);
  if (bytes.size() > static_cast<size_t>(kMaxPageBytes)) return false;
  // The program writes its message page in the device's code page (a UTF-8
  // one with the byte-order mark); help pages are UTF-8 when they say so or
  // are valid UTF-8 on a UTF-8 device, else in 1252 as they always were.
  std::string_view text = bytes;
  const bool marked = text.substr(0, 3) == "\xEF\xBB\xBF";
  if (marked) text.remove_prefix(3);
  if (marked ||
      (coding == PageCoding::kDeclaredOrDevice && DeclaresUtf8(bytes))) {
    setHtml(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  } else if (coding == PageCoding::kDeclaredOrDevice) {
    setHtml(ToQt(device::ShippedTextToWide(bytes)));
  } else {
    setHtml(ToQt(device::AnsiToWide(bytes)));
  }
  return true;
}

}  // namespace ui
