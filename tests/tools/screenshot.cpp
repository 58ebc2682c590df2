// Saves a picture of the whole X screen (for the README's screenshots).
#include <QApplication>
#include <QPixmap>
#include <QScreen>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) return 2;
  QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0);
  return shot.save(argv[1]) ? 0 : 1;
}
