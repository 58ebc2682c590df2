// GMime, the library the mail path reads MIME and addresses with, made ready
// once per process before its first use (any thread may be the first).
#ifndef TARNVEX_MAIL_MIME_MIME_LIBRARY_H_
#define TARNVEX_MAIL_MIME_MIME_LIBRARY_H_

#include <gmime/gmime.h>

namespace mail {

// Initialises GMime the first time it is called; cheap afterwards.
void EnsureMimeLibrary();

// Parser options shared by every read (GMime only reads them). Raw 8-bit
// header text that is not UTF-8 is read as Latin-1, so no byte is lost.
GMimeParserOptions* ParserOptions();

}  // namespace mail

#endif  // TARNVEX_MAIL_MIME_MIME_LIBRARY_H_
