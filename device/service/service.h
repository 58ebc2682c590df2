// The device's message service: stores, folders and messages in one SQLite
// file of the image (<image>/.device/messages.db), shared by every process of
// the device. The program reaches it through mapi/mapi.h; the device's own
// tools (the messaging application, the transport, scripts) use the
// operations below.
//
// Every change is one transaction that also appends to a change journal
// (a change to the recipients of a message in an Outbox too, whoever writes
// it: triggers of the file make that entry). Nobody is woken by the writer:
// each listening process's notification thread watches the file's folder
// (inotify), reads the journal from where it stopped and calls the sinks
// advised on the changed store, in commit order.
#ifndef TARNVEX_DEVICE_SERVICE_SERVICE_H_
#define TARNVEX_DEVICE_SERVICE_SERVICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"

namespace device {

// Folder kinds of a store; every store has one of each standard kind.
enum class FolderKind {
  kRoot,
  kInbox,
  kOutbox,
  kSentItems,
  kDrafts,
  kDeletedItems,
  kOther
};

struct ServiceMessage {
  int64_t id = 0;
  std::string store;
  std::string folder_path;  // "Outbox", "Outbox\Tarnvex", "Sent Items"
  std::u16string subject;
  std::u16string body;
  std::u16string sender_name;
  std::u16string sender_address;
  std::vector<std::u16string> recipients;
  int64_t delivery_time_ms = 0;  // ms since 1970
  int64_t submit_time_ms = 0;    // when the transport sent it, 0 before
  uint32_t flags = 0;
};

// Opens (creating its tables when missing) the service file of the current
// image. A failure says why (the file is not a service database, is locked,
// cannot be opened); nothing is overwritten.
base::Status OpenMessageService();
// Closes this process's connection (the notification thread goes too).
void CloseMessageService();
// Moves the write-ahead log's checkpoints of this process onto a thread and a
// connection of their own (the transport calls it): a commit that crosses
// the log's bound then returns at once instead of copying the log into the
// file first, and the other processes' commits never do that work (their
// connections checkpoint only far past the bound, as a fallback for a
// device whose transport does not run).
void CheckpointInBackground();

// Creates a store with its standard folders; an existing store is left as it
// is. Invalid argument for a bad name; an I/O error when the file cannot
// take it.
base::Status CreateStore(const std::string& name);
std::vector<std::string> StoreNames();

// Saves a new outgoing message into the store's Outbox, as the messaging
// application does when the user presses Send. Its id, or why not (as
// SaveOutgoingMail says).
base::StatusOr<int64_t> SaveOutgoingMessage(const std::string& store,
                                            const ServiceMessage& message);
// Replaces the recipients of a message that has not been sent, as a
// messaging client does that saves a message first and fills it in after.
// Nothing changed on a failure: not found for a message that does not
// exist, invalid argument for one that was sent or too many recipients, an
// I/O error when the file cannot take it.
base::Status SetMessageRecipients(
    int64_t id, const std::vector<std::u16string>& recipients);
// A message as it was received by the mail path, kept beside the service's
// message for delivery: the envelope's sender and the RFC 5322 bytes.
struct KeptMail {
  std::string envelope_from;
  std::string raw;
};
// SaveOutgoingMessage for mail: the message and its raw form in one
// transaction, committed with a full sync before it returns, so that an
// "accepted" that follows is never lost to a crash or a power cut. Its id,
// or why not: invalid argument for a message over the limits below, not
// found for a store that is not there (what the sender must change);
// unavailable, busy, corrupt or an I/O error when the service file cannot
// take it now.
base::StatusOr<int64_t> SaveOutgoingMail(const std::string& store,
                                         const ServiceMessage& message,
                                         const KeptMail& raw);
// Several mails saved as SaveOutgoingMail saves one, in one transaction
// with one full sync (a mail server's group commit): one result for each,
// in their order. A mail refused for itself fails alone; when the file
// does not take the whole batch, each mail is tried in a commit of its own,
// so that one the file cannot take fails no other.
// The fields are UTF-8, as the service file keeps them (valid UTF-8: the
// mail path's reading repairs what was not); the body at most
// kMaxBodyBytes / 2 characters counted in UTF-16 units, as for any message.
struct OutgoingMail {
  std::string store;
  std::string subject, body, sender_name, sender_address;
  std::vector<std::string> recipients;
  KeptMail raw;
};
std::vector<base::StatusOr<int64_t>> SaveOutgoingMails(
    const std::vector<OutgoingMail>& mails);
// The kept raw form of message `id`; false when it has none or it cannot be
// read.
bool GetKeptMail(int64_t id, KeptMail* raw);

// Messages of a store (all stores when empty), optionally of one folder path.
std::vector<ServiceMessage> ListMessages(const std::string& store,
                                         const std::string& folder_path);
// One message by id.
bool GetServiceMessage(int64_t id, ServiceMessage* message);

// Throws message `id` away, from whatever folder it lies in (a held one
// included): it is in no folder from then on and nothing of it can be sent;
// listeners are told fnevObjectDeleted. Records the filter keeps of it stay.
// Nothing changed on a failure: not found for a message that does not
// exist, busy for one a relay is being handed this moment, an I/O error
// for a file that could not be written.
base::Status DeleteMessage(int64_t id);

// How many messages are held (in an Outbox's held folder "Tarnvex"),
// waiting in an Outbox, waiting there with a recipient deferred by the
// relay, and have a recipient the relay refused. False when the service
// file cannot be read.
struct MessageCounts {
  int64_t held = 0, waiting = 0, deferred = 0, failed = 0;
};
bool CountMessages(MessageCounts* counts);

// The transport: sends every message that has lain in a store's Outbox
// itself (not a subfolder) for at least `send_delay_ms`: moves it to Sent
// Items and stamps the sending time. A message goes only once every live
// listener of its store has handled its arrival and, where filters are
// registered, one listens on the store (listeners.h); *waiting (when given)
// gets one line for each due message that waits, saying for whom. Messages
// of `relayed_store` (when given) are left where they are: a relay delivers
// them (deliveries.h). The number sent (0 when the sending could not be
// committed).
int SendDueMessages(int64_t send_delay_ms,
                    std::vector<std::string>* waiting = nullptr,
                    const std::string& relayed_store = "");

// Drops the change journal's entries below every live listener's mark (the
// entry at a mark stays: its stamp shows the mark was made on this journal),
// except those of messages still in an Outbox (the transport finds a
// message's arrival there by them). A listener that starts later starts at
// the journal's end, which stays too. Reads first and writes only when
// something can go; the number of entries dropped, -1 when the service file
// could not be read or written. The transport runs it every
// kJournalTrimIntervalMs.
int TrimJournal();
inline constexpr int64_t kJournalTrimIntervalMs = 10000;

// What the transport's gate says of each message in an Outbox now, whatever
// its send delay: may it go, and if not, for whom it waits.
struct OutboxState {
  int64_t id = 0;
  std::string store;
  bool may_send = false;
  std::string waiting_for;
};
std::vector<OutboxState> OutboxStates();

// Limits of what the service accepts.
inline constexpr size_t kMaxStoreNameLength = 63;
inline constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;
inline constexpr size_t kMaxRecipients = 10000;
inline constexpr size_t kMaxRawBytes = 64 * 1024 * 1024;

}  // namespace device

#endif  // TARNVEX_DEVICE_SERVICE_SERVICE_H_
