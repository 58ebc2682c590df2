// The header fields of a message, for the readers of the mail/mime room:
// where the header block ends, and its addresses as GMime reads them, cleaned
// and with groups flattened (never deeper than a few levels).
#ifndef TARNVEX_MAIL_MIME_HEADER_FIELDS_H_
#define TARNVEX_MAIL_MIME_HEADER_FIELDS_H_

#include <gmime/gmime.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

// Where the top-level header block ends: the offset of its terminating
// empty line ("" or "\r" before the LF), or raw.size() when there is none.
size_t HeaderBlockEnd(std::string_view raw);

// Header folding inside an address (a quoted local part spanning lines)
// is no part of it.
std::string CleanAddress(const char* addr);

// The bare addresses of `list` appended to `out`, groups flattened; an
// address that is empty once cleaned is left out.
void FlattenAddresses(InternetAddressList* list, int depth,
                      std::vector<std::string>* out);

// The first mailbox of `list`, looking into groups; null when none.
InternetAddressMailbox* FirstMailbox(InternetAddressList* list, int depth);

}  // namespace mail

#endif  // TARNVEX_MAIL_MIME_HEADER_FIELDS_H_
