// Tarnvex: the filter for outgoing messages. It reads no command line.
#include "device/image.h"
#include "i18n/chooser.h"
#include "ui/startup.h"

int main(int argc, char** argv) {
  device::KeepImagePrivate();
  i18n::InstallLanguageCommands();
  return ui::RunTarnvex(argc, argv);
}
