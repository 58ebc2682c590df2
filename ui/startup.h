// The program's start-up, in its fixed order: About texts, the list lock,
// the language "eng", the single-instance check, the program name, the
// install folder, the UiTexts, the databases, the main window, monitoring,
// the message loop.
#ifndef TARNVEX_UI_STARTUP_H_
#define TARNVEX_UI_STARTUP_H_

#include <string>

#include "hold/monitor.h"

namespace ui {

// The watch the windows pause, tell of rules changes and count from: the one
// the start-up made for this run (or a test's). Null when there is none; the
// windows then pause nothing and count nothing.
hold::Monitor* Watch();
void SetWatch(hold::Monitor* monitor);
// What waits to leave the device, from the watch (nothing without one).
bool CountWaitingMessages(WaitingMessages* waiting);
// Tells the watch that the rules changed.
void NoteRulesChanged();

// The language of this run (always "eng" at start).
std::string& CurrentLanguageCode();

// The databases' start-up: asks "Use CF Card?" when storage says the choice
// is needed (no storage lock is held while the user answers), then makes the
// databases with the answer.
void StartDatabases();

// Runs the program in this process and returns the message loop's exit code;
// -1 at once when "MainEvent" cannot be made, or when another instance holds
// it and its window was found and brought to the front. A second start that
// finds no window of the first runs on: the holder may be a process that is
// ending, and giving up would leave the device with no filter at all.
int RunTarnvex(int argc, char** argv);

}  // namespace ui

#endif  // TARNVEX_UI_STARTUP_H_
