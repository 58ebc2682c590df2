// Reading an opened message into the narrow texts the program works with:
// sender, sender address, recipients, subject, body, and the date and time
// of the reading. All texts are asked for wide and narrowed; fixed fields
// are filled by one bounded copy (longer texts are cut, never written past).
#ifndef TARNVEX_HOLD_MESSAGE_READER_H_
#define TARNVEX_HOLD_MESSAGE_READER_H_

#include <string>

#include "filter/classify.h"
#include "mapi/mapi.h"
#include "mapi/owned.h"

inline constexpr size_t kStoreNameField = 260;
inline constexpr size_t kSenderField = 256;
inline constexpr size_t kSenderAddressField = 256;
inline constexpr size_t kRecipientsField = 4096;
inline constexpr size_t kSubjectField = 128;
inline constexpr size_t kDateField = 260;
inline constexpr size_t kRecipientsUnits = 4096;  // the wide working buffer
inline constexpr size_t kBodyReasonField = 256;

inline constexpr char kMimeTextHtml[] = "content-type: text/html";
inline constexpr char kMimeTextPlain[] = "content-type: text/plain";

struct MessageFields {
  char store_name[kStoreNameField] = {};
  char sender[kSenderField] = {};
  char sender_address[kSenderAddressField] = {};
  char recipients[kRecipientsField] = {};
  char subject[kSubjectField] = {};
  std::string body;
  std::string lowered_body;
  std::string token_text;
  char received_date[kDateField] = {};
  char received_time[kDateField] = {};
};

// One property, or an empty owner when the object does not have it.
OwnedProps GetOneProperty(IMAPIProp* object, ULONG tag);

// Fills sender, sender address, recipients, subject, received date and time;
// *recipients (when given) gets the whole recipients as the judgement takes
// them, from the same read.
void ReadMessageFields(IMessage* message, MessageFields* fields,
                       RecipientsRead* recipients = nullptr);

// The recipients' addresses joined with ", ", a text of any length. *whole
// (when given) is false when the text may lack recipients: the table or a row
// could not be read, or a row carries no address.
std::u16string ReadRecipientsText(IMessage* message, bool* whole = nullptr);
// The recipients as the judgement takes them (filter/classify.h): the whole
// text narrowed to the code page, not whole when the read was not whole or an
// address does not survive the narrowing. The outgoing check and the
// held-folder scan both read through this.
// *wide (when given) gets the text before narrowing.
RecipientsRead ReadRecipientsForJudging(IMessage* message,
                                        std::u16string* wide = nullptr);

// How a read of the body went: read whole, the message has none (no body
// property, or an empty one), or it could not be read now. A body that could
// not be read is not an empty one: nothing may be recorded of the message
// until it is read.
enum class BodyRead { kRead, kNone, kFailed };

// The body, narrowed. Anything but kRead leaves it empty, with a reason
// ("OpenProperty failed.", "Stat failed.", "BodySize failed.", "Read
// failed.").
BodyRead ReadBody(IMessage* message, std::string* body, char* reason);

// The part of a MIME body after the header with `marker`, lower-cased. False
// when there is none.
bool ExtractMimePart(const std::string& body, const char* marker,
                     std::string* part);

#endif  // TARNVEX_HOLD_MESSAGE_READER_H_
