// An RFC 5322 message made from the fields of a store's message, for mail
// that reached the e-mail store without a kept raw form (saved by the
// messaging application or `tarnvex-device send`): the relay is handed the
// message as a mail client would have written it. MIME with GMime.
#ifndef TARNVEX_MAIL_RELAY_COMPOSED_MESSAGE_H_
#define TARNVEX_MAIL_RELAY_COMPOSED_MESSAGE_H_

#include <string>

#include "device/service/service.h"

namespace mail {

// From (the sender, when it is a mail address), To (the recipients that
// are mail addresses), Subject, Date (the message's delivery time),
// Message-ID, MIME-Version and one text/plain part in UTF-8, with CRLF line
// ends. *envelope_from gets the sender's address, or "" (the null sender)
// when it is none. False when GMime cannot write the message.
bool ComposeMessage(const device::ServiceMessage& message, std::string* raw,
                    std::string* envelope_from);

}  // namespace mail

#endif  // TARNVEX_MAIL_RELAY_COMPOSED_MESSAGE_H_
