// The gateway's names and limits in one place: the store its records go to,
// the widths of the recorded fields (the device's own, so that a message is
// recorded alike whichever way it came), what one message may cost in
// memory, and the release worker's pauses.
#ifndef TARNVEX_GATEWAY_LIMITS_H_
#define TARNVEX_GATEWAY_LIMITS_H_

#include <cstddef>
#include <cstdint>

namespace gateway {

inline constexpr char kProgramName[] = "tarnvex-milter";
// The records' store: "Gateway.db" in the data folder, table Msg.
inline constexpr char kStoreName[] = "Gateway";

// The recorded fields, as wide as the device's reader fills them
// (hold/message_reader.h; a test keeps the two in step): longer texts are
// cut before the first character that does not fit.
inline constexpr size_t kSenderField = 256;
inline constexpr size_t kRecipientsField = 4096;
inline constexpr size_t kSubjectField = 128;
// The recorded body text, as the device's service keeps it (16 MiB of
// UTF-16, 8 Mi characters): cut at a character boundary.
inline constexpr size_t kBodyTextBytes = size_t{8} << 20;

// What one message may keep in memory while it is received: the bytes
// beyond are not read (the judgement never needs them: it judges the
// envelope's recipients, every one of them).
inline constexpr size_t kMaxMessageBytes = size_t{64} << 20;
// A header field is kept to this many bytes of its value, Postfix's own
// header_size_limit by default (a longer field Postfix itself cuts there):
// the record keeps 127 bytes of the subject, and the MIME reading of a
// header of megabytes costs seconds.
inline constexpr size_t kMaxHeaderFieldBytes = 102400;
// An envelope address longer than this is not read: the recipients are
// then not whole, and the message is held (what cannot be read cannot be
// allowed).
inline constexpr size_t kMaxAddressBytes = 1024;
// The hold reason Postfix keeps and logs: the recipients no rule covers,
// cut with "and N more" past this.
inline constexpr size_t kMaxReasonBytes = 400;

// The release worker. Rules file changes come in bursts (a write, its
// journal): it waits until the folder is quiet this long before reading.
inline constexpr int kRulesQuietMs = 20;
// While the rules cannot be read, they are read again this often.
inline constexpr int kRulesRetryMs = 1000;
// A release that failed is tried again after this pause, doubled at each
// failure up to the longest.
inline constexpr int64_t kFirstRetryMs = 250;
inline constexpr int64_t kLongestRetryMs = 60'000;
// A held record whose message is in no queue of its Postfix is taken for
// gone (deleted by the postmaster, or never queued) only after this long:
// before, Postfix may still be writing it.
inline constexpr int64_t kGoneAfterMs = 30'000;
// A Postfix command (postqueue, postsuper) that has not ended by then is
// ended and counts as failed.
inline constexpr int kCommandTimeoutMs = 30'000;

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_LIMITS_H_
