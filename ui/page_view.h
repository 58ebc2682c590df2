// The page viewer: reads a page written by the program (the message page, a
// help page) and shows it decoded from the device's code page. The page is
// the only thing loaded: images, style sheets and other resources it names
// are never read (not from the network, not from a file, not from a
// device), and links are not followed. Only a regular file of at most
// kMaxPageBytes is shown.
#ifndef TARNVEX_UI_PAGE_VIEW_H_
#define TARNVEX_UI_PAGE_VIEW_H_

#include <QString>
#include <QTextBrowser>
#include <string>

namespace ui {

inline constexpr qint64 kMaxPageBytes = 4 * 1024 * 1024;
enum class PageCoding {
  kDevice,            // the message page: the device's code page
  kDeclaredOrDevice,  // help pages: UTF-8 when they say so or are, else 1252
};
class PageView : public QTextBrowser {
  Q_OBJECT
 public:
  explicit PageView(QWidget* parent = nullptr);
  // False (and the view emptied) when the file is missing, not a regular
  // file, or too large.
  bool ShowFile(const std::string& host_path,
                PageCoding coding = PageCoding::kDevice);
  // The page text shown, as plain text.
  QString PlainPage() const { return toPlainText(); }
};

}  // namespace ui

#endif  // TARNVEX_UI_PAGE_VIEW_H_
