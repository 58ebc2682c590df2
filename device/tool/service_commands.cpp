// Commands on the message service: send (what the messaging application
// does on Send), ls (what lies where), store (add a store) and run (the
// transport).
#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#ifdef TARNVEX_SUBMISSION_SERVER
#include <unicode/unistr.h>

#include <QCoreApplication>
#include <QTimer>

#include "mail/smtpd/credentials.h"
#include "mail/smtpd/submission_server.h"
#endif
#include "base/mutex.h"
#include "device/codepage.h"
#include "device/service/change_waiter.h"
#include "device/service/service.h"
#include "device/tool/command.h"
#include "mail/queue/deliveries.h"
#include "mail/relay/relay_settings.h"
#include "mail/relay/relay_worker.h"
#ifdef TARNVEX_DEVICE_WINDOWS
#include "device/tool/delivery_notices.h"
#endif

namespace device_tool {

// The stores of a new device: two phone stores, an e-mail account and the
// desktop synchronisation store.
constexpr const char* kDefaultStores[] = {"SMS", "MMS", "E-mail", "ActiveSync"};

base::Status CreateDefaultStores() {
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return opened;
  for (const char* name : kDefaultStores) {
    if (base::Status made = device::CreateStore(name); !made.ok()) return made;
  }
  return base::Status::Ok();
}

namespace {

// The longest body the service takes, in UTF-16 units (what it stores).
constexpr size_t kMaxBodyUnits = device::kMaxBodyBytes / sizeof(char16_t);
// UTF-8 spends at most three bytes on one UTF-16 unit: a longer body file
// cannot fit, and reading stops there.
constexpr size_t kMaxBodyFileBytes = 3 * kMaxBodyUnits;
constexpr size_t kReadChunk = 64 * 1024;

std::string BodyTooLong() {
  return "the body is too long (a message holds at most " +
         std::to_string(kMaxBodyUnits) +
         " characters, counted in UTF-16 units)";
}

// Reads a body file, never more than a body can hold (a pipe or a device
// that never ends included). False with a message.
bool ReadBodyFile(const std::string& path, std::string* body,
                  std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error =
        "cannot read the body file \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (ok && S_ISDIR(st.st_mode)) {
    *error = "the body file \"" + path + "\" is a folder";
    ok = false;
  } else if (ok && S_ISREG(st.st_mode) &&
             static_cast<unsigned long long>(st.st_size) > kMaxBodyFileBytes) {
    *error = BodyTooLong();
    ok = false;
  }
  body->clear();
  while (ok) {
    size_t old_size = body->size();
    size_t want = std::min(kReadChunk, kMaxBodyFileBytes + 1 - old_size);
    body->resize(old_size + want);
    ssize_t got = read(fd, body->data() + old_size, want);
    if (got < 0 && errno == EINTR) {
      body->resize(old_size);
      continue;
    }
    if (got < 0) {
      *error =
          "cannot read the body file \"" + path + "\": " + std::strerror(errno);
      ok = false;
      break;
    }
    body->resize(old_size + static_cast<size_t>(got));
    if (got == 0) break;
    if (body->size() > kMaxBodyFileBytes) {
      *error = BodyTooLong();
      ok = false;
    }
  }
  close(fd);
  if (!ok) body->clear();
  return ok;
}

// Case folding of the device's code page 1252: ASCII and the accented
// capitals of the upper half.
char FoldCase1252(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
  if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
  switch (u) {
    case 0x8A:
      return static_cast<char>(0x9A);  // S caron
    case 0x8C:
      return static_cast<char>(0x9C);  // OE
    case 0x8E:
      return static_cast<char>(0x9E);  // Z caron
    case 0x9F:
      return static_cast<char>(0xFF);  // Y diaeresis
    default:
      return c;
  }
}

// Why Tarnvex would never filter a new store beside the existing ones, ""
// when it would. The filter keeps a store's name narrowed to the device's
// code page (what it cannot show becomes '?') and enters only the first of
// stores whose kept names differ in letter case alone, so the second
// store's messages would go out unchecked. The existing store of the very
// same name is no clash: adding it again changes nothing.
// A store's name as the filter keeps it, and that with its letter case
// folded: Unicode's case folding on a UTF-8 device, 1252's on an older one.
std::string KeptFolded(const std::string& name, std::string* kept) {
  *kept = device::WideToAnsi(device::Utf8ToWide(name));
  std::string folded;
  if (device::AnsiIsUtf8()) {
    icu::UnicodeString::fromUTF8(*kept).foldCase().toUTF8String(folded);
  } else {
    folded = *kept;
    for (char& c : folded) c = FoldCase1252(c);
  }
  return folded;
}

std::string NameClash(const std::string& name,
                      const std::vector<std::string>& existing) {
  std::string kept;
  const std::string folded = KeptFolded(name, &kept);
  for (const std::string& other : existing) {
    if (other == name) return "";
  }
  for (const std::string& other : existing) {
    std::string other_kept;
    if (KeptFolded(other, &other_kept) != folded) continue;
    std::string why =
        kept == other_kept &&
                device::Utf8ToWide(name) != device::Utf8ToWide(other)
            ? "both read \"" + device::WideToUtf8(device::AnsiToWide(kept)) +
                  "\" in the device's code page 1252"
            : "the names differ only in letter case";
    return "the store \"" + name + "\" is refused: " + why +
           ", so Tarnvex would take it " + "for the existing store \"" + other +
           "\" and never filter its messages";
  }
  return "";
}

// Text of a message as one line: newlines and tabs shown as blanks.
std::string OneLine(const std::u16string& text, size_t max = 60) {
  std::string utf8 = device::WideToUtf8(text);
  for (char& c : utf8) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  if (utf8.size() > max) utf8 = utf8.substr(0, max) + "...";
  return utf8;
}

// "Name <addr>" or "addr" into name and address.
void SplitSender(const std::string& from, std::u16string* name,
                 std::u16string* address) {
  size_t open = from.rfind('<');
  size_t close = from.rfind('>');
  if (open != std::string::npos && close != std::string::npos && close > open) {
    std::string n = from.substr(0, open);
    while (!n.empty() && n.back() == ' ') n.pop_back();
    *name = device::Utf8ToWide(n);
    *address = device::Utf8ToWide(from.substr(open + 1, close - open - 1));
  } else {
    *name = device::Utf8ToWide(from);
    *address = device::Utf8ToWide(from);
  }
}

int Send(const std::vector<std::string>& args) {
  std::string store, subject, from, body, body_file;
  bool has_body = false;
  device::ServiceMessage message;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--store" && value(&store)) continue;
    if (a == "--to" && value(&v)) {
      message.recipients.push_back(device::Utf8ToWide(v));
      continue;
    }
    if (a == "--subject" && value(&subject)) continue;
    if (a == "--from" && value(&from)) continue;
    if (a == "--body" && value(&body)) {
      has_body = true;
      continue;
    }
    if (a == "--body-file" && value(&body_file)) {
      has_body = true;
      continue;
    }
    return Fail("send: unknown or incomplete argument \"" + a + "\"", 2);
  }
  if (store.empty()) return Fail("send needs --store NAME", 2);
  if (message.recipients.empty())
    return Fail("send needs at least one --to ADDRESS", 2);
  if (!has_body) return Fail("send needs --body TEXT or --body-file FILE", 2);
  std::string error;
  if (!body_file.empty() && !ReadBodyFile(body_file, &body, &error))
    return Fail(error);
  message.subject = device::Utf8ToWide(subject);
  message.body = device::Utf8ToWide(body);
  body.clear();
  if (message.body.size() > kMaxBodyUnits) return Fail(BodyTooLong());
  if (!from.empty())
    SplitSender(from, &message.sender_name, &message.sender_address);
  const base::StatusOr<int64_t> id =
      device::SaveOutgoingMessage(store, message);
  if (!id.ok()) return Fail(id.status());
  std::printf("Saved message %lld in %s\\Outbox\n", static_cast<long long>(*id),
              store.c_str());
  return 0;
}

int Ls(const std::vector<std::string>& args) {
  std::string store, folder;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--store" && i + 1 < args.size()) {
      store = args[++i];
    } else if (args[i] == "--folder" && i + 1 < args.size()) {
      folder = args[++i];
    } else {
      return Fail("ls: unknown or incomplete argument \"" + args[i] + "\"", 2);
    }
  }
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return Fail(opened);
  // One message a line, tab-separated: id, store, folder, state (sent or
  // unsent), recipients, subject; then, for a message the transport holds
  // back although its send delay has passed, what it waits for; then, for
  // mail handed to a relay, each recipient's delivery state.
  std::map<int64_t, std::string> waits;
  for (const device::OutboxState& state : device::OutboxStates()) {
    if (!state.may_send) waits[state.id] = state.waiting_for;
  }
  for (const device::ServiceMessage& m : device::ListMessages(store, folder)) {
    std::string recipients;
    for (size_t i = 0; i < m.recipients.size(); ++i) {
      recipients += (i ? ", " : "") + device::WideToUtf8(m.recipients[i]);
    }
    auto wait = waits.find(m.id);
    std::string delivery;
    for (const mail::RecipientDelivery& r : mail::DeliveryStates(m.id)) {
      delivery += (delivery.empty() ? "\tdelivery: " : "; ") +
                  mail::DescribeRecipientState(r);
    }
    for (char& c : delivery) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    std::printf(
        "%lld\t%s\t%s\t%s\t%s\t%s%s%s%s\n", static_cast<long long>(m.id),
        m.store.c_str(), m.folder_path.c_str(),
        m.submit_time_ms != 0 ? "sent" : "unsent", recipients.c_str(),
        OneLine(m.subject).c_str(), wait != waits.end() ? "\twaiting for " : "",
        wait != waits.end() ? wait->second.c_str() : "", delivery.c_str());
  }
  return 0;
}

int Store(const std::vector<std::string>& args) {
  if (args.size() == 1 && args[0] == "list") {
    for (const std::string& name : device::StoreNames())
      std::printf("%s\n", name.c_str());
    return 0;
  }
  if (args.size() != 2 || args[0] != "add")
    return Fail("store needs add NAME or list", 2);
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return Fail(opened);
  std::string clash = NameClash(args[1], device::StoreNames());
  if (!clash.empty()) return Fail(clash);
  if (base::Status made = device::CreateStore(args[1]); !made.ok())
    return Fail(made);
  return 0;
}

std::atomic<bool> g_stop{false};
// Readable once the transport stops: the workers' sleeps end at once.
int g_stop_fd = -1;
void OnStop(int) {
  g_stop.store(true);
  if (g_stop_fd >= 0) {
    const uint64_t one = 1;
    const ssize_t ignored = write(g_stop_fd, &one, sizeof one);
    (void)ignored;
  }
}

// One line of the transport's output, whole, from any of its threads.
void Say(const std::string& line) {
  static base::Mutex lock;
  base::MutexLock guard(&lock);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The shortest time between two passes of the transport's loop that changes
// woke: a pass reads every Outbox, and the relay's commits alone would
// otherwise wake it hundreds of times a second.
constexpr int kMinPassGapMs = 20;

// The transport's own loop: sends what is due whenever the service changes
// or a message's send delay runs out (device/service/change_waiter.h), and
// says what a due message waits for once, when it changes. The relay's
// store it leaves to the relay's worker.
void TransportLoop(long long delay, mail::RelaySettingsWatch* relay) {
  device::ServiceChangeWaiter waiter(g_stop_fd);
  std::vector<std::string> said;
  auto last = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  while (!g_stop.load()) {
    const auto since = std::chrono::steady_clock::now() - last;
    if (since < std::chrono::milliseconds(kMinPassGapMs)) {
      waiter.Gather(static_cast<int>(
          kMinPassGapMs -
          std::chrono::duration_cast<std::chrono::milliseconds>(since)
              .count()));
      if (g_stop.load()) break;
    }
    last = std::chrono::steady_clock::now();
    std::vector<std::string> waiting;
    const mail::RelaySettings settings = relay->Current();
    int sent = device::SendDueMessages(delay, &waiting,
                                       settings.on ? settings.store : "");
    if (sent > 0) Say("sent " + std::to_string(sent));
    if (waiting != said) {
      for (const std::string& line : waiting) {
        if (std::find(said.begin(), said.end(), line) == said.end()) {
          Say("waiting: " + line);
        }
      }
      said = waiting;
    }
    if (g_stop.load()) break;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    waiter.Wait(device::NextSendDueMs(delay, now));
  }
}

// A whole number from `text` into *value, within [low, high].
bool ParseNumber(const std::string& text, long long low, long long high,
                 long long* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || n < low || n > high) return false;
  *value = n;
  return true;
}

int Run(const std::vector<std::string>& args) {
  long long delay = 2000;
  long long submission_port = -1;  // the image's setting
  long long retry_base_ms = mail::kDefaultRetryBaseMs;
  long long give_up_after_s = mail::kDefaultGiveUpAfterMs / 1000;
  long long connections = mail::kDefaultRelayConnections;
  long long connect_timeout_ms = mail::DeliveryTimeouts{}.connect_ms;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--send-delay-ms" && i + 1 < args.size()) {
      char* end = nullptr;
      delay = std::strtoll(args[++i].c_str(), &end, 10);
      if (*end != '\0' || delay < 0)
        return Fail("--send-delay-ms needs a number of ms", 2);
    } else if (args[i] == "--retry-base-ms" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], 1, mail::kMaxRetryDelayMs, &retry_base_ms)) {
        return Fail("--retry-base-ms needs a number of ms from 1 to " +
                        std::to_string(mail::kMaxRetryDelayMs),
                    2);
      }
    } else if (args[i] == "--give-up-after-s" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], 0, 100LL * 365 * 24 * 3600,
                       &give_up_after_s)) {
        return Fail("--give-up-after-s needs a number of seconds", 2);
      }
    } else if (args[i] == "--relay-connections" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], 1, mail::kMaxRelayConnections,
                       &connections)) {
        return Fail("--relay-connections needs a number from 1 to " +
                        std::to_string(mail::kMaxRelayConnections),
                    2);
      }
    } else if (args[i] == "--relay-connect-timeout-ms" && i + 1 < args.size()) {
      if (!ParseNumber(args[++i], 1, 10LL * 60 * 1000, &connect_timeout_ms)) {
        return Fail(
            "--relay-connect-timeout-ms needs a number of ms from 1 to 600000",
            2);
      }
    } else if (args[i] == "--no-submission") {
      submission_port = -2;
    } else if (args[i] == "--submission-port" && i + 1 < args.size()) {
      char* end = nullptr;
      submission_port = std::strtoll(args[++i].c_str(), &end, 10);
      if (*end != '\0' || submission_port < 0 || submission_port > 65535)
        return Fail("--submission-port needs a port (0: any free one)", 2);
    } else {
      return Fail("run: unknown or incomplete argument \"" + args[i] + "\"", 2);
    }
  }
  if (base::Status opened = device::OpenMessageService(); !opened.ok())
    return Fail(opened);
  device::CheckpointInBackground();
  g_stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  struct sigaction action = {};
  action.sa_handler = OnStop;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // The relay's worker: a thread of its own from here to the end.
  mail::InitDeliveryLibrary();
  mail::RelaySettingsWatch relay;
  mail::RelayWorkerOptions relay_options;
  relay_options.send_delay_ms = delay;
  relay_options.policy.retry_base_ms = retry_base_ms;
  relay_options.policy.give_up_after_ms = give_up_after_s * 1000;
  relay_options.connections = static_cast<int>(connections);
  relay_options.timeouts.connect_ms = static_cast<long>(connect_timeout_ms);
  relay_options.stop_fd = g_stop_fd;
  relay_options.say = Say;
#ifdef TARNVEX_DEVICE_WINDOWS
  // Failures are told on the desktop too (outlives the worker).
  DeliveryNotices notices;
  relay_options.failed = [&notices](int64_t message, const auto& failed) {
    notices.Failed(message, failed);
  };
#endif
  mail::RelayWorker worker(&relay, relay_options, &g_stop);
  struct JoinOnExit {
    std::thread thread;
    ~JoinOnExit() {
      g_stop.store(true);
      if (thread.joinable()) thread.join();
    }
  } delivery{std::thread([&worker] { worker.Run(); })};
#ifdef TARNVEX_SUBMISSION_SERVER
  base::StatusOr<mail::SubmissionSettings> read =
      mail::ReadSubmissionSettings();
  if (!read.ok()) return Fail(read.status());
  mail::SubmissionSettings settings = *std::move(read);
  // Without a port given for this run the server follows the image's
  // setting while it runs.
  const bool follow = submission_port == -1;
  if (submission_port >= 0) {
    settings.on = true;
    settings.port = static_cast<uint16_t>(submission_port);
  } else if (submission_port == -2) {
    settings.on = false;
  }
  if (settings.on || follow) {
    // The submission server runs on this thread's Qt event loop, the
    // transport on a thread of its own.
    static int argc = 1;
    static char name[] = "tarnvex-device";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    mail::SubmissionServer server;
    if (settings.on) {
      // A port that cannot be served is no reason to run without it: a mail
      // client would reach whatever else listens there.
      if (base::Status started = server.Start(settings.port, settings.store);
          !started.ok()) {
        return Fail("cannot serve mail submission: " + started.message() +
                    " (\"mail submission --port N\" picks another port, "
                    "\"run --no-submission\" serves none)");
      }
      std::printf(
          "submission server on 127.0.0.1:%u for %s (user %s; password and "
          "certificate: tarnvex-device mail show)\n",
          static_cast<unsigned>(server.port()), settings.store.c_str(),
          mail::kSubmissionUser);
    }
    if (follow) {
      base::Status following =
          server.FollowSettings([](const std::string& line, bool problem) {
            if (!problem) return Say(line);
            std::fprintf(stderr, "tarnvex-device: %s\n", line.c_str());
            std::fflush(stderr);
          });
      if (!following.ok()) return Fail(following);
    }
    std::printf("transport running (send delay %lld ms)\n", delay);
    std::fflush(stdout);
    std::thread transport([delay, &relay] { TransportLoop(delay, &relay); });
    QTimer stop;
    QObject::connect(&stop, &QTimer::timeout, &app, [&app] {
      if (g_stop.load()) app.quit();
    });
    stop.start(100);
    app.exec();
    g_stop.store(true);
    transport.join();
    return 0;
  }
#else
  (void)submission_port;
#endif
  std::printf("transport running (send delay %lld ms)\n", delay);
  std::fflush(stdout);
  TransportLoop(delay, &relay);
  return 0;
}

}  // namespace

TARNVEX_DEVICE_COMMAND({
    .name = "send",
    .args = "--store NAME --to ADDR [--to ADDR ...] [--subject TEXT] [--from "
            "\"NAME <ADDR>\"] (--body TEXT | --body-file FILE)",
    .summary = "save a new message into a store's Outbox",
    .details = "As the messaging application does on Send. It says \"Saved "
               "message N in STORE\\Outbox\", N being the message's id.",
    .options = {{"--store NAME",
                 "the store (SMS, MMS, E-mail, ActiveSync or one added)"},
                {"--to ADDR", "a recipient (give it once for each)"},
                {"--subject TEXT", "the subject"},
                {"--from \"NAME <ADDR>\"",
                 "the sender, as a name and an address or an address alone"},
                {"--body TEXT", "the message's text"},
                {"--body-file FILE", "the message's text from a file (UTF-8)"}},
    .fn = Send,
});
TARNVEX_DEVICE_COMMAND({
    .name = "ls",
    .args = "[--store NAME] [--folder PATH]",
    .summary = "list the messages, one a line",
    .details = "Tab-separated: id, store, folder, sent or unsent, recipients, "
               "subject; then, for a message the transport holds back, "
               "\"waiting for\" what it waits for.",
    .options = {{"--store NAME", "only the messages of this store"},
                {"--folder PATH",
                 "only those of this folder (e.g. \"Outbox\\Tarnvex\")"}},
    .fn = Ls,
});
TARNVEX_DEVICE_COMMAND({
    .name = "store",
    .summary = "add or list the message stores",
    .subcommands = {{.name = "add",
                     .args = "NAME",
                     .summary = "add a store with its standard folders (one "
                                "that is there is left as it is)"},
                    {.name = "list", .summary = "list the stores"}},
    .fn = Store,
});
TARNVEX_DEVICE_COMMAND({
    .name = "run",
    .args = "[--send-delay-ms N] [--submission-port N | --no-submission] "
            "[--retry-base-ms N] [--give-up-after-s N] [--relay-connections N] "
            "[--relay-connect-timeout-ms N]",
    .summary = "run the transport: send what lay in an Outbox long enough",
    .details =
        "It sends a message only once every program that listens on its store "
        "has handled it and while the registered filters listen, and says what "
        "a due message waits for. It serves SMTP submission as \"mail "
        "submission\" set it, and follows a changed setting while it runs "
        "(a port that cannot be served: it exits with status 1 at the "
        "start, and keeps the old port later). It delivers the e-mail store "
        "through the relay that \"mail relay\" set. It runs until it is "
        "ended (Ctrl+C).",
    .options = {{"--send-delay-ms N",
                 "how long a message lies in an Outbox before it is sent "
                 "(default: 2000)"},
                {"--submission-port N",
                 "serve submission on this port (0: any free one)"},
                {"--no-submission", "serve no submission"},
                {"--retry-base-ms N",
                 "the first pause before a relay is tried again; each next "
                 "one twice as long, at most an hour (default: 60000)"},
                {"--give-up-after-s N",
                 "how long a recipient is tried before it fails (default: "
                 "432000, 5 days)"},
                {"--relay-connections N",
                 "how many messages are delivered to the relay at once, each "
                 "over a connection of its own (1 to 64, default: 4)"},
                {"--relay-connect-timeout-ms N",
                 "how long reaching the relay may take, its greeting, TLS and "
                 "login included (default: 60000); after a relay that fails "
                 "the rest waits this long (at most the first retry's pause "
                 "and 5 s) before one message tries it again"}},
    .fn = Run,
});

}  // namespace device_tool
