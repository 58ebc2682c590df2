// Delivering one message through the relay with libcurl, each recipient's
// reply read from the SMTP conversation.
#include "mail/relay/delivery.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "mail/queue/submission.h"

namespace mail {
namespace {

// A relay's reply is kept for people to read; a longer one is cut.
constexpr size_t kMaxReplyText = 1000;

bool StartsWithNoCase(std::string_view line, std::string_view prefix) {
  if (line.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(line[i])) != prefix[i])
      return false;
  }
  return true;
}

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  return line;
}

mail::DeliveryOutcome Outcome(const std::string& recipient,
                              mail::DeliveryVerdict verdict,
                              const std::string& reply) {
  mail::DeliveryOutcome o;
  o.recipient = recipient;
  o.verdict = verdict;
  o.reply = reply;
  return o;
}

// Why a transaction ended early, from libcurl's code, its error text and
// the relay's last words.
std::string FailureText(CURLcode rc, const char* error_text,
                        const SmtpConversation& conversation) {
  const std::string detail =
      error_text[0] != '\0' ? error_text : curl_easy_strerror(rc);
  const std::string last =
      conversation.last().code != 0
          ? " (the relay's last reply: " + conversation.last().text + ")"
          : "";
  switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
      return "the relay's host name does not resolve: " + detail;
    case CURLE_COULDNT_CONNECT:
      return "cannot connect to the relay: " + detail;
    case CURLE_PEER_FAILED_VERIFICATION:
      return "the relay's certificate does not verify (check the relay "
             "settings: mail relay set ... --ca-file FILE): " +
             detail;
    case CURLE_SSL_CACERT_BADFILE:
      return "the certificate file of the relay settings cannot be used: " +
             detail;
    case CURLE_SSL_CONNECT_ERROR:
      return "TLS with the relay failed: " + detail;
    case CURLE_USE_SSL_FAILED:
      return "the relay does not offer STARTTLS: " + detail;
    case CURLE_LOGIN_DENIED:
      return "the relay refused the login" +
             (conversation.last().code != 0 ? ": " + conversation.last().text
                                            : "");
    case CURLE_OPERATION_TIMEDOUT:
      return "the relay did not answer in time: " + detail;
    case CURLE_ABORTED_BY_CALLBACK:
      return "the delivery was interrupted: the transport stopped";
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return "the connection to the relay broke: " + detail + last;
    default:
      return "the relay could not be used: " + detail + last;
  }
}

}  // namespace

void InitDeliveryLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

mail::DeliveryVerdict VerdictOfReply(int code) {
  if (code >= 200 && code < 300) return mail::DeliveryVerdict::kDelivered;
  if (code >= 500 && code < 600) return mail::DeliveryVerdict::kFailed;
  return mail::DeliveryVerdict::kDeferred;
}

std::string ToCrlf(std::string_view raw) {
  std::string out;
  out.reserve(raw.size() + raw.size() / 32);
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

// --- the conversation ------------------------------------------------------

void SmtpConversation::Sent(std::string_view line) {
  line = WithoutLineEnd(line);
  if (StartsWithNoCase(line, "MAIL FROM:")) {
    awaiting_ = Awaiting::kMail;
  } else if (StartsWithNoCase(line, "RCPT TO:")) {
    awaiting_ = Awaiting::kRcpt;
  } else if (line.size() == 4 && StartsWithNoCase(line, "DATA")) {
    awaiting_ = Awaiting::kData;
  } else {
    // EHLO, STARTTLS, AUTH and its exchange (never kept), QUIT, ...
    awaiting_ = Awaiting::kOther;
  }
}

void SmtpConversation::Received(std::string_view line) {
  line = WithoutLineEnd(line);
  const bool coded = line.size() >= 3 &&
                     std::isdigit(static_cast<unsigned char>(line[0])) &&
                     std::isdigit(static_cast<unsigned char>(line[1])) &&
                     std::isdigit(static_cast<unsigned char>(line[2]));
  const std::string_view words =
      coded ? line.substr(std::min<size_t>(4, line.size())) : line;
  if (partial_.size() < kMaxReplyText) {
    if (!partial_.empty() && !words.empty()) partial_ += ' ';
    // Kept for people to read on one line: a control character a relay
    // sends (a stray CR, a NUL) becomes a blank.
    for (const char c : words.substr(0, kMaxReplyText - partial_.size())) {
      const unsigned char u = static_cast<unsigned char>(c);
      partial_ += u < 0x20 || u == 0x7f ? ' ' : c;
    }
  }
  if (!coded || (line.size() > 3 && line[3] == '-')) return;  // more to come
  Reply reply;
  reply.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  reply.text =
      std::string(line.substr(0, 3)) + (partial_.empty() ? "" : " " + partial_);
  partial_.clear();
  Awaiting next = Awaiting::kOther;
  switch (awaiting_) {
    case Awaiting::kMail:
      mail_ = reply;
      break;
    case Awaiting::kRcpt:
      rcpt_.push_back(reply);
      break;
    case Awaiting::kData:
      data_ = reply;
      // The reply after "354" answers the end of the data, which goes
      // without a command line of its own.
      if (reply.code == 354) next = Awaiting::kEndOfData;
      break;
    case Awaiting::kEndOfData:
      end_ = reply;
      break;
    case Awaiting::kOther:
      break;
  }
  awaiting_ = next;
  last_ = std::move(reply);
}

std::vector<mail::DeliveryOutcome> SmtpConversation::Outcomes(
    const std::vector<std::string>& recipients,
    const std::string& failure) const {
  using mail::DeliveryVerdict;
  std::vector<mail::DeliveryOutcome> out;
  const std::string unanswered =
      !failure.empty()
          ? failure
          : "the relay ended the transaction without an answer" +
                (last_.code != 0 ? " (its last reply: " + last_.text + ")"
                                 : std::string());
  for (size_t i = 0; i < recipients.size(); ++i) {
    const std::string& r = recipients[i];
    if (mail_.code >= 400) {
      // The sender refused: every recipient alike.
      out.push_back(Outcome(r, VerdictOfReply(mail_.code), mail_.text));
    } else if (i >= rcpt_.size()) {
      out.push_back(Outcome(r, DeliveryVerdict::kDeferred, unanswered));
    } else if (rcpt_[i].code < 200 || rcpt_[i].code >= 300) {
      out.push_back(Outcome(r, VerdictOfReply(rcpt_[i].code), rcpt_[i].text));
    } else if (end_.code != 0) {
      out.push_back(Outcome(r, VerdictOfReply(end_.code), end_.text));
    } else if (data_.code != 0 && data_.code != 354) {
      // DATA refused: the message's answer, not the recipient's.
      out.push_back(Outcome(r,
                            data_.code >= 500 ? DeliveryVerdict::kFailed
                                              : DeliveryVerdict::kDeferred,
                            data_.text));
    } else {
      out.push_back(Outcome(r, DeliveryVerdict::kDeferred, unanswered));
    }
  }
  return out;
}

// --- the client --------------------------------------------------------------

class Deliverer::Impl {
 public:
  Impl(const RelaySettings& relay, const DeliveryTimeouts& timeouts,
       const std::atomic<bool>* cancel)
      : handle_(curl_easy_init()), cancel_(cancel) {
    error_[0] = '\0';
    if (handle_ == nullptr) return;
    CURL* h = handle_;
    curl_easy_setopt(h, CURLOPT_URL, relay.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
#endif
    curl_easy_setopt(h, CURLOPT_USE_SSL,
                     relay.tls == RelayTls::kNone
                         ? static_cast<long>(CURLUSESSL_NONE)
                         : static_cast<long>(CURLUSESSL_ALL));
    if (!relay.ca_file.empty())
      curl_easy_setopt(h, CURLOPT_CAINFO, relay.ca_file.c_str());
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, relay.verify ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, relay.verify ? 2L : 0L);
    if (!relay.user.empty()) {
      curl_easy_setopt(h, CURLOPT_USERNAME, relay.user.c_str());
      curl_easy_setopt(h, CURLOPT_PASSWORD, relay.password.c_str());
    }
#if LIBCURL_VERSION_NUM >= 0x080200
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT_ALLOWFAILS, 1L);
#else
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT_ALLLOWFAILS, 1L);
#endif
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &Impl::Read);
    curl_easy_setopt(h, CURLOPT_READDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &Impl::Discard);
    // The debug callback is how the replies are read; nothing is printed.
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, &Impl::Debug);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeouts.connect_ms);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                     std::max(1L, timeouts.reply_ms / 1000));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeouts.stall_s);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeouts.total_ms);
    if (cancel_ != nullptr) {
      curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &Impl::Progress);
      curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    }
  }
  ~Impl() {
    if (handle_ != nullptr) curl_easy_cleanup(handle_);
  }

  std::vector<mail::DeliveryOutcome> Deliver(
      const std::string& envelope_from,
      const std::vector<std::string>& recipients, std::string_view message) {
    std::vector<mail::DeliveryOutcome> out;
    contact_ = RelayContact::kNone;
    // Only bare addresses reach the command lines: nothing in an address
    // can end a command and begin another.
    std::vector<std::string> sendable;
    for (const std::string& r : recipients) {
      if (PlausibleAddress(r)) {
        sendable.push_back(r);
      } else {
        out.push_back(Outcome(r, mail::DeliveryVerdict::kFailed,
                              "not a mail address: \"" + r + "\""));
      }
    }
    if (sendable.empty()) return out;
    std::vector<mail::DeliveryOutcome> tried;
    if (handle_ == nullptr) {
      for (const std::string& r : sendable)
        tried.push_back(Outcome(r, mail::DeliveryVerdict::kDeferred,
                                "the mail client library cannot start"));
    } else if (!envelope_from.empty() && !PlausibleAddress(envelope_from)) {
      for (const std::string& r : sendable)
        tried.push_back(Outcome(
            r, mail::DeliveryVerdict::kFailed,
            "the sender is not a mail address: \"" + envelope_from + "\""));
    } else {
      tried = Transaction(envelope_from, sendable, message);
    }
    // In the recipients' own order.
    std::vector<mail::DeliveryOutcome> all;
    for (const std::string& r : recipients) {
      for (auto* list : {&tried, &out}) {
        auto it = std::find_if(
            list->begin(), list->end(),
            [&](const mail::DeliveryOutcome& o) { return o.recipient == r; });
        if (it != list->end()) {
          all.push_back(*it);
          list->erase(it);
          break;
        }
      }
    }
    return all;
  }

 private:
  std::vector<mail::DeliveryOutcome> Transaction(
      const std::string& envelope_from,
      const std::vector<std::string>& recipients, std::string_view message) {
    const std::string from = "<" + envelope_from + ">";
    curl_slist* rcpt = nullptr;
    for (const std::string& r : recipients) {
      curl_slist* more = curl_slist_append(rcpt, ("<" + r + ">").c_str());
      if (more == nullptr) {
        curl_slist_free_all(rcpt);
        std::vector<mail::DeliveryOutcome> out;
        for (const std::string& x : recipients)
          out.push_back(
              Outcome(x, mail::DeliveryVerdict::kDeferred, "out of memory"));
        return out;
      }
      rcpt = more;
    }
    curl_easy_setopt(handle_, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(handle_, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE,
                     static_cast<curl_off_t>(message.size()));
    CURLcode rc = CURLE_OK;
    for (int round = 0; round < 2; ++round) {
      conversation_ = SmtpConversation{};
      body_ = message;
      offset_ = 0;
      error_[0] = '\0';
      rc = curl_easy_perform(handle_);
      long connects = 1;
      curl_easy_getinfo(handle_, CURLINFO_NUM_CONNECTS, &connects);
      // A kept connection the relay closed meanwhile fails before MAIL is
      // answered: once more on a new connection, nothing of the message
      // having gone.
      const bool stale = connects == 0 && !conversation_.MailAnswered() &&
                         (rc == CURLE_SEND_ERROR || rc == CURLE_RECV_ERROR ||
                          rc == CURLE_GOT_NOTHING);
      if (!stale || round == 1) break;
      curl_easy_setopt(handle_, CURLOPT_FRESH_CONNECT, 1L);
    }
    if (conversation_.MailAnswered()) {
      contact_ = RelayContact::kAnswered;
    } else if (rc != CURLE_OK && rc != CURLE_ABORTED_BY_CALLBACK) {
      contact_ = RelayContact::kFault;
    }
    curl_easy_setopt(handle_, CURLOPT_FRESH_CONNECT, 0L);
    curl_easy_setopt(handle_, CURLOPT_MAIL_RCPT, nullptr);
    curl_slist_free_all(rcpt);
    body_ = {};
    return conversation_.Outcomes(
        recipients,
        rc == CURLE_OK ? "" : FailureText(rc, error_, conversation_));
  }

  static size_t Read(char* buffer, size_t size, size_t count, void* data) {
    Impl* self = static_cast<Impl*>(data);
    const size_t n = std::min(size * count, self->body_.size() - self->offset_);
    std::memcpy(buffer, self->body_.data() + self->offset_, n);
    self->offset_ += n;
    return n;
  }
  static size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
  }
  static int Debug(CURL*, curl_infotype type, char* data, size_t size,
                   void* user) {
    if (type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
    Impl* self = static_cast<Impl*>(user);
    std::string_view text(data, size);
    while (!text.empty()) {
      const size_t nl = text.find('\n');
      const std::string_view line =
          text.substr(0, nl == std::string_view::npos ? text.size() : nl + 1);
      if (type == CURLINFO_HEADER_IN) {
        self->conversation_.Received(line);
      } else {
        self->conversation_.Sent(line);
      }
      text.remove_prefix(line.size());
    }
    return 0;
  }
  static int Progress(void* data, curl_off_t, curl_off_t, curl_off_t,
                      curl_off_t) {
    const Impl* self = static_cast<const Impl*>(data);
    return self->cancel_->load() ? 1 : 0;
  }

 public:
  RelayContact contact_ = RelayContact::kNone;

 private:
  CURL* handle_;
  const std::atomic<bool>* cancel_;
  char error_[CURL_ERROR_SIZE];
  SmtpConversation conversation_;
  std::string_view body_;
  size_t offset_ = 0;
};

Deliverer::Deliverer(const RelaySettings& relay,
                     const DeliveryTimeouts& timeouts,
                     const std::atomic<bool>* cancel)
    : impl_(std::make_unique<Impl>(relay, timeouts, cancel)) {}

Deliverer::~Deliverer() = default;

std::vector<mail::DeliveryOutcome> Deliverer::Deliver(
    const std::string& envelope_from,
    const std::vector<std::string>& recipients, std::string_view message) {
  return impl_->Deliver(envelope_from, recipients, message);
}

RelayContact Deliverer::last_contact() const { return impl_->contact_; }

}  // namespace mail
