// GMime, the library the mail path reads MIME and addresses with, made ready
// once per process before its first use (any thread may be the first).
#ifndef TARNVEX_MAIL_MIME_MIME_LIBRARY_H_
#define TARNVEX_MAIL_MIME_MIME_LIBRARY_H_

namespace mail {

// Initialises GMime the first time it is called; cheap afterwards.
void EnsureMimeLibrary();

}  // namespace mail

#endif  // TARNVEX_MAIL_MIME_MIME_LIBRARY_H_
