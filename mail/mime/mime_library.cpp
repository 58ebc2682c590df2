// GMime's one-time initialisation for the process.
#include "mail/mime/mime_library.h"

#include <gmime/gmime.h>

#include <mutex>

namespace mail {

void EnsureMimeLibrary() {
  static std::once_flag once;
  // Never shut down: other threads may still parse while the process ends.
  std::call_once(once, [] { g_mime_init(); });
}

}  // namespace mail
