// The message browser's state shared between the threads that refill it
// and the user-interface thread that shows it: for the browser's own files
// (browser*.cpp) only.
#ifndef TARNVEX_UI_BROWSER_STATE_H_
#define TARNVEX_UI_BROWSER_STATE_H_

#include <QPointer>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "ui/browser.h"

namespace ui::browser_internal {

struct State {
  base::Mutex lock;
  QPointer<Browser> browser GUARDED_BY(lock);
  Browser::Filter filter GUARDED_BY(lock);
  int day_offset GUARDED_BY(lock) = 0;
  // The identities of the entries the list shows, replaced only together
  // with its lines (ApplyRefill).
  std::vector<EntryIdentity> entries GUARDED_BY(lock);
  LastSelectionTexts last_selection GUARDED_BY(lock);
  bool has_held_text GUARDED_BY(lock) = false;
  std::string held_text GUARDED_BY(lock);
  std::string last_page GUARDED_BY(lock);
};

// The one state, alive until exit.
State& S();

}  // namespace ui::browser_internal

#endif  // TARNVEX_UI_BROWSER_STATE_H_
