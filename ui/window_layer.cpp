// The window layer's common ground: the texts of controls without their
// accelerator marks, work handed to the user-interface thread, and window sizes
// that fit the screen.
#include "ui/window_layer.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>
#include <QThread>

namespace ui {

void RunOnUiThread(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  if (QThread::currentThread() == app->thread()) {
    work();
    return;
  }
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void PostToUiThread(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

QSize ScreenFitted(const QSize& wanted) {
  // Room for a title bar and borders.
  constexpr QSize kFrameRoom(16, 40);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return wanted;
  return wanted.boundedTo(screen->availableGeometry().size() - kFrameRoom);
}

QString PlainText(const QString& shown) {
  QString plain;
  plain.reserve(shown.size());
  for (qsizetype i = 0; i < shown.size(); ++i) {
    if (shown[i] == u'&' && i + 1 < shown.size()) ++i;
    plain.append(shown[i]);
  }
  return plain;
}

}  // namespace ui
