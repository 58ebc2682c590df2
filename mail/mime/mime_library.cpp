// GMime's one-time initialisation for the process and the parser options
// every read shares.
#include "mail/mime/mime_library.h"

#include <gmime/gmime.h>

#include <mutex>

namespace mail {

void EnsureMimeLibrary() {
  static std::once_flag once;
  // Never shut down: other threads may still parse while the process ends.
  std::call_once(once, [] { g_mime_init(); });
}

GMimeParserOptions* ParserOptions() {
  static GMimeParserOptions* const options = [] {
    GMimeParserOptions* o = g_mime_parser_options_new();
    const char* fallback[] = {"UTF-8", "ISO-8859-1", nullptr};
    g_mime_parser_options_set_fallback_charsets(o, fallback);
    return o;
  }();
  return options;
}

}  // namespace mail
