// Tarnvex: the filter for outgoing messages. It reads no command line.
#include "ui/startup.h"

int main(int argc, char** argv) { return ui::RunTarnvex(argc, argv); }
