// What the release worker reads of a Postfix queue: `postqueue -j`, one JSON
// object a line, one line a queued message. Only two members of each object
// count: "queue_name" (maildrop, incoming, active, deferred, hold) and
// "queue_id". The reading is Postfix's output, still outside text: a line
// that is not such an object, or one nested deeper than a listing ever is,
// is passed over; nothing in it can stop the reading of the next line.
#ifndef TARNVEX_GATEWAY_QUEUE_LISTING_H_
#define TARNVEX_GATEWAY_QUEUE_LISTING_H_

#include <map>
#include <string>
#include <string_view>

namespace gateway {

// By queue id, the queue it lies in.
using QueueListing = std::map<std::string, std::string>;

// Objects nested deeper than this are not read (a listing nests three
// deep: the message, its recipients array, a recipient).
inline constexpr int kMaxJsonDepth = 16;

QueueListing ParseQueueListing(std::string_view text);

// A queue id as Postfix makes them, short or long: 1 to 32 ASCII letters and
// digits, and not postsuper's "ALL". Only such an id is recorded, listed or
// handed to a Postfix command: it cannot be read as an option, as a second
// id on postsuper's standard input or as words by a remote shell.
inline constexpr size_t kMaxQueueIdBytes = 32;
bool IsPostfixQueueId(std::string_view id);

// One JSON string starting at text[*at] == '"': its value with the escapes
// undone (\uXXXX as UTF-8, a lone surrogate as U+FFFD); *at past its closing
// quote. False when the string is not well formed.
bool ReadJsonString(std::string_view text, size_t* at, std::string* out);

}  // namespace gateway

#endif  // TARNVEX_GATEWAY_QUEUE_LISTING_H_
