// libmilter's callbacks for tarnvex-milter.
#include "gateway/milter.h"

#include <grp.h>
#include <libmilter/mfapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/debug.h"
#include "gateway/limits.h"

// libmilter's own state of its stop (0 running; a stop or an abort asked,
// by a signal or smfi_stop), exported by the library but left out of
// mfapi.h.
extern "C" int mi_stop(void);

namespace gateway {
namespace {

std::atomic<Judge*> g_judge{nullptr};
std::atomic<uint64_t> g_messages{0};
std::atomic<uint64_t> g_own_ns{0};

// One SMTP session's state.
struct Session {
  std::string host;
  Envelope envelope;
  MessageBytes bytes;
  uint64_t own_ns = 0;  // this message's time in the callbacks so far
  // The steps Postfix sends without waiting for an answer (SMFIP_NR_*).
  unsigned long no_reply = 0;
  // A step that could not answer failed: the message gets 451 at DATA or
  // at its end.
  bool failed = false;

  void NewMessage() {
    envelope.Clear();
    bytes.Clear();
    own_ns = 0;
    failed = false;
  }
};

// What the judgement needs from each step but DATA and the end of the
// message is no answer: Postfix sends those without waiting (protocol 6),
// which saves a round trip a recipient and a header.
constexpr unsigned long kNoReplySteps =
    SMFIP_NR_CONN | SMFIP_NR_HELO | SMFIP_NR_MAIL | SMFIP_NR_RCPT |
    SMFIP_NR_HDR | SMFIP_NR_EOH | SMFIP_NR_BODY;
// Steps it need not be told of at all.
constexpr unsigned long kSkippedSteps = SMFIP_NOHELO | SMFIP_NOUNKNOWN;

Session* SessionOf(SMFICTX* ctx) {
  return static_cast<Session*>(smfi_getpriv(ctx));
}

// The answer of a step: none when Postfix was told it waits for none.
sfsistat Answer(const Session* session, unsigned long step) {
  return session != nullptr && (session->no_reply & step) != 0 ? SMFIS_NOREPLY
                                                               : SMFIS_CONTINUE;
}

// A step that failed: 451 now, or at DATA when the step has no answer.
sfsistat Failed(Session* session, unsigned long step) {
  if (session == nullptr) return SMFIS_TEMPFAIL;
  if ((session->no_reply & step) == 0) return SMFIS_TEMPFAIL;
  session->failed = true;
  return SMFIS_NOREPLY;
}

std::string Macro(SMFICTX* ctx, const char* name) {
  const char* value = smfi_getsymval(ctx, const_cast<char*>(name));
  return value != nullptr ? value : "";
}

// Adds the time from its making to its end to the session's message.
class OwnTime {
 public:
  explicit OwnTime(Session* session)
      : session_(session), start_(std::chrono::steady_clock::now()) {}
  ~OwnTime() {
    if (session_ != nullptr) {
      session_->own_ns += static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::steady_clock::now() - start_)
              .count());
    }
  }

 private:
  Session* session_;
  std::chrono::steady_clock::time_point start_;
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

sfsistat TempFail(SMFICTX* ctx, std::string text) {
  // smfi_setreply takes no '%' and no line ends.
  for (char& c : text)
    if (c == '%' || c == '\r' || c == '\n') c = ' ';
  smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.3.0"),
                text.data());
  return SMFIS_TEMPFAIL;
}

// The first step of a connection: its session, and the steps it answers.
sfsistat OnNegotiate(SMFICTX* ctx, unsigned long actions, unsigned long steps,
                     unsigned long, unsigned long, unsigned long* our_actions,
                     unsigned long* our_steps, unsigned long* reserved2,
                     unsigned long* reserved3) {
  *reserved2 = 0;
  *reserved3 = 0;
  if ((actions & SMFIF_QUARANTINE) == 0) return SMFIS_REJECT;  // cannot hold
  *our_actions = SMFIF_QUARANTINE;
  Session* session = new (std::nothrow) Session;
  // Without a session every step answers, and answers 451.
  *our_steps = session != nullptr ? steps & (kNoReplySteps | kSkippedSteps) : 0;
  if (session != nullptr) {
    session->no_reply = *our_steps & kNoReplySteps;
    smfi_setpriv(ctx, session);
  }
  return SMFIS_CONTINUE;
}

sfsistat OnConnect(SMFICTX* ctx, char*, _SOCK_ADDR*) {
  Session* session = SessionOf(ctx);
  if (session == nullptr) return SMFIS_TEMPFAIL;
  try {
    session->host = Macro(ctx, "j");
  } catch (...) {
    return Failed(session, SMFIP_NR_CONN);
  }
  return Answer(session, SMFIP_NR_CONN);
}

sfsistat OnEnvFrom(SMFICTX* ctx, char** argv) {
  Session* session = SessionOf(ctx);
  if (session == nullptr) return SMFIS_TEMPFAIL;
  try {
    session->NewMessage();
    OwnTime time(session);
    if (session->host.empty()) session->host = Macro(ctx, "j");
    session->envelope.sender =
        Envelope::Bare(argv != nullptr && argv[0] != nullptr ? argv[0] : "");
    return Answer(session, SMFIP_NR_MAIL);
  } catch (...) {
    base::DebugCaught("OnEnvFrom");
    return Failed(session, SMFIP_NR_MAIL);
  }
}

sfsistat OnEnvRcpt(SMFICTX* ctx, char** argv) {
  Session* session = SessionOf(ctx);
  if (session == nullptr) return SMFIS_TEMPFAIL;
  try {
    OwnTime time(session);
    if (argv == nullptr || argv[0] == nullptr) {
      session->envelope.recipients_whole = false;
    } else {
      session->envelope.AddRecipient(argv[0]);
    }
    return Answer(session, SMFIP_NR_RCPT);
  } catch (...) {
    base::DebugCaught("OnEnvRcpt");
    return Failed(session, SMFIP_NR_RCPT);
  }
}

// Every recipient is known at DATA: a covered message is accepted there,
// its content never sent to the milter (the judgement is the envelope's;
// only a held message's record needs the content).
sfsistat OnData(SMFICTX* ctx) {
  Session* session = SessionOf(ctx);
  Judge* judge = g_judge.load();
  if (session == nullptr || judge == nullptr) return SMFIS_TEMPFAIL;
  const auto start = std::chrono::steady_clock::now();
  sfsistat answer = SMFIS_CONTINUE;
  try {
    if (session->failed) {
      session->NewMessage();
      return TempFail(ctx, "Tarnvex cannot judge the message now");
    }
    const Decision decision = judge->EndOfEnvelope(session->envelope);
    if (decision.verdict == Verdict::kReadOn) {
      session->own_ns += static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::steady_clock::now() - start)
              .count());
      return SMFIS_CONTINUE;
    }
    answer = decision.verdict == Verdict::kContinue
                 ? SMFIS_ACCEPT
                 : TempFail(ctx, decision.text);
  } catch (...) {
    base::DebugCaught("OnData");
    answer = TempFail(ctx, "Tarnvex cannot judge the message now");
  }
  session->own_ns += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now() - start)
          .count());
  g_messages.fetch_add(1);
  g_own_ns.fetch_add(session->own_ns);
  session->NewMessage();
  return answer;
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
  Session* session = SessionOf(ctx);
  if (session == nullptr) return SMFIS_TEMPFAIL;
  try {
    OwnTime time(session);
    session->bytes.AddHeader(name != nullptr ? name : "",
                             value != nullptr ? value : "");
    return Answer(session, SMFIP_NR_HDR);
  } catch (...) {
    base::DebugCaught("OnHeader");
    return Failed(session, SMFIP_NR_HDR);
  }
}

sfsistat OnEndOfHeaders(SMFICTX* ctx) {
  Session* session = SessionOf(ctx);
  if (session == nullptr) return SMFIS_TEMPFAIL;
  OwnTime time(session);
  session->bytes.EndOfHeaders();
  return Answer(session, SMFIP_NR_EOH);
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* chunk, size_t size) {
  Session* session = SessionOf(ctx);
  if (session == nullptr) return SMFIS_TEMPFAIL;
  try {
    OwnTime time(session);
    if (chunk != nullptr)
      session->bytes.AddBody(
          std::string_view(reinterpret_cast<const char*>(chunk), size));
    return Answer(session, SMFIP_NR_BODY);
  } catch (...) {
    base::DebugCaught("OnBody");
    return Failed(session, SMFIP_NR_BODY);
  }
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
  Session* session = SessionOf(ctx);
  Judge* judge = g_judge.load();
  if (session == nullptr || judge == nullptr) return SMFIS_TEMPFAIL;
  sfsistat answer = SMFIS_TEMPFAIL;
  const auto start = std::chrono::steady_clock::now();
  try {
    if (session->failed) throw std::bad_alloc();
    session->envelope.host = session->host;
    session->envelope.queue_id = Macro(ctx, "i");
    const Decision decision =
        judge->EndOfMessage(session->envelope, session->bytes.bytes(), NowMs());
    switch (decision.verdict) {
      case Verdict::kContinue:
        answer = SMFIS_CONTINUE;
        break;
      case Verdict::kQuarantine:
        if (smfi_quarantine(ctx, const_cast<char*>(decision.text.c_str())) ==
            MI_SUCCESS) {
          answer = SMFIS_CONTINUE;
        } else {
          // Recorded but not held: Postfix must not deliver it. The record
          // waits; its queue id is taken for gone once no queue has it.
          answer = TempFail(ctx, "Tarnvex cannot hold the message now");
        }
        break;
      case Verdict::kTempFail:
      case Verdict::kReadOn:
        answer = TempFail(ctx, decision.text);
        break;
    }
  } catch (...) {
    base::DebugCaught("OnEndOfMessage");
    answer = TempFail(ctx, "Tarnvex cannot judge the message now");
  }
  session->own_ns += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::steady_clock::now() - start)
          .count());
  g_messages.fetch_add(1);
  g_own_ns.fetch_add(session->own_ns);
  session->NewMessage();
  return answer;
}

sfsistat OnAbort(SMFICTX* ctx) {
  Session* session = SessionOf(ctx);
  if (session != nullptr) session->NewMessage();
  return SMFIS_CONTINUE;
}

sfsistat OnClose(SMFICTX* ctx) {
  delete SessionOf(ctx);
  smfi_setpriv(ctx, nullptr);
  return SMFIS_CONTINUE;
}

}  // namespace

MilterTimes MilterOwnTimes() {
  return MilterTimes{g_messages.load(), g_own_ns.load()};
}

base::Status RunMilter(const MilterSettings& settings, Judge* judge) {
  g_judge.store(judge);
  struct smfiDesc description = {};
  description.xxfi_name = const_cast<char*>(kProgramName);
  description.xxfi_version = SMFI_VERSION;
  description.xxfi_flags = SMFIF_QUARANTINE;
  description.xxfi_connect = OnConnect;
  description.xxfi_envfrom = OnEnvFrom;
  description.xxfi_envrcpt = OnEnvRcpt;
  description.xxfi_header = OnHeader;
  description.xxfi_eoh = OnEndOfHeaders;
  description.xxfi_body = OnBody;
  description.xxfi_eom = OnEndOfMessage;
  description.xxfi_abort = OnAbort;
  description.xxfi_close = OnClose;
  description.xxfi_data = OnData;
  description.xxfi_negotiate = OnNegotiate;
  if (smfi_setconn(const_cast<char*>(settings.listen.c_str())) != MI_SUCCESS)
    return base::Status::InvalidArgument("libmilter refused " +
                                         settings.listen);
  smfi_settimeout(settings.timeout_s);
  if (smfi_register(description) != MI_SUCCESS)
    return base::Status::IoError("smfi_register failed");
  const bool unix_socket = settings.listen.rfind("unix:", 0) == 0 ||
                           settings.listen.rfind("local:", 0) == 0;
  // A unix socket for its owner and group only: whoever can talk to the
  // milter can make it record holds.
  mode_t old_mask = 0;
  if (unix_socket) old_mask = umask(0117);
  const int opened = smfi_opensocket(true);
  if (unix_socket) umask(old_mask);
  if (opened != MI_SUCCESS)
    return base::Status::IoError("cannot listen on " + settings.listen);
  if (unix_socket && !settings.socket_group.empty()) {
    const std::string path =
        settings.listen.substr(settings.listen.find(':') + 1);
    struct group* group = getgrnam(settings.socket_group.c_str());
    if (group == nullptr ||
        chown(path.c_str(), static_cast<uid_t>(-1), group->gr_gid) != 0) {
      return base::Status::IoError("cannot give " + path + " to group " +
                                   settings.socket_group);
    }
  }
  std::fprintf(stderr, "%s: listening on %s\n", kProgramName,
               settings.listen.c_str());
  std::fflush(stderr);
  const int served = smfi_main();
  g_judge.store(nullptr);
  // A stop (SIGTERM, say) closes the listening socket from libmilter's
  // signal thread; a listener that checked for a stop just before finds
  // the socket gone and fails. That is the stop it was asked for, not a
  // failure.
  if (served != MI_SUCCESS && mi_stop() == 0)
    return base::Status::IoError("smfi_main failed");
  return base::Status::Ok();
}

}  // namespace gateway
