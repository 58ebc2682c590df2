// The program's start-up, in its fixed order: About texts, the list lock,
// the language "eng", the single-instance check, the program name, the
// install folder, the UiTexts, the databases, the main window, monitoring,
// the message loop.
#ifndef TARNVEX_UI_STARTUP_H_
#define TARNVEX_UI_STARTUP_H_

#include <string>

namespace ui {

// The language of this run (always "eng" at start).
std::string& CurrentLanguageCode();

// -1 when another instance runs (its window is brought to the front).
// Returns true to go on; `event` receives the held event.
int RunTarnvex(int argc, char** argv);

}  // namespace ui

#endif  // TARNVEX_UI_STARTUP_H_
