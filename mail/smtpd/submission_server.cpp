// The SMTP submission server's sockets: Qt Network's TCP and TLS, one
// session a connection, on the loopback address, and the watch on its
// setting.
#include "mail/smtpd/submission_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QFileSystemWatcher>
#include <QHostAddress>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <fstream>
#include <functional>
#include <sstream>

#include "base/debug.h"
#include "device/files.h"
#include "mail/queue/submission.h"
#include "mail/queue/submission_queue.h"
#include "mail/smtpd/connection_limits.h"
#include "mail/smtpd/credentials.h"
#include "mail/smtpd/peer_user.h"
#include "mail/smtpd/smtp_session.h"

namespace mail {
namespace {

std::string SettingsPath() { return CredentialFiles().folder + "/submission"; }

// One client: its socket, its session, its timers, its place in a share.
class Connection {
 public:
  // Accepted messages go to `queue`; their answers come back through
  // events posted to `answers`, which lives on this thread as long as the
  // queue.
  Connection(QSslSocket* socket, const QSslConfiguration& tls,
             const std::string& store, ConnectionLimits* limits, Peer peer,
             SubmissionQueue* queue, QObject* answers)
      : socket_(socket),
        tls_(tls),
        store_(store),
        limits_(limits),
        peer_(peer),
        queue_(queue),
        answers_(answers) {
    // Replies go out at once, not held back for more to send with them.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    SessionConfig config;
    config.server_name = "localhost";
    config.offer_starttls = !tls_.localCertificate().isNull();
    // The server listens on the loopback address only: the password may
    // travel in the clear there, as a local mail server's does.
    config.auth_without_tls = true;
    SessionHooks hooks;
    hooks.check_password = [](const std::string& user,
                              const std::string& password) {
      return SubmissionPasswordMatches(user, password);
    };
    hooks.submit_message = [this](const Envelope& envelope, std::string raw) {
      Store(envelope, std::move(raw));
    };
    session_ = std::make_unique<SmtpSession>(config, std::move(hooks));
    for (QTimer* timer : {&idle_, &pause_, &login_}) timer->setSingleShot(true);
    QObject::connect(&idle_, &QTimer::timeout, socket_, [this] {
      session_->TimedOut();
      Flush();
    });
    QObject::connect(&pause_, &QTimer::timeout, socket_, [this] { Unpause(); });
    QObject::connect(&login_, &QTimer::timeout, socket_, [this] {
      if (session_->Authenticated()) return;
      session_->TimedOut("Login took too long");
      Flush();
    });
    QObject::connect(socket_, &QSslSocket::readyRead, socket_,
                     [this] { Read(); });
    QObject::connect(socket_, &QAbstractSocket::disconnected, socket_,
                     [this] { Close(); });
    QObject::connect(socket_, &QSslSocket::sslErrors, socket_,
                     [this](const QList<QSslError>&) { Close(); });
    Write(session_->Greeting());
    Arm();
    if (peer_ == Peer::kOtherUser) login_.start(kOtherUserLoginTime);
  }
  ~Connection() { limits_->Close(peer_); }

 private:
  // Hands the message to the storing thread; the session answers once it
  // is stored, and reads nothing meanwhile.
  void Store(const Envelope& envelope, std::string raw) {
    Submission submission;
    submission.store = store_;
    submission.envelope_from = envelope.reverse_path;
    submission.recipients = envelope.forward_paths;
    submission.raw = std::move(raw);
    submission.received.helo = envelope.helo;
    submission.received.client_address =
        socket_->peerAddress().toString().toStdString();
    submission.received.tls = envelope.tls;
    submission.received.authenticated = !envelope.auth_user.empty();
    idle_.stop();
    std::weak_ptr<char> alive = alive_;
    queue_->Add(std::move(submission),
                [alive, this, answers = answers_](base::StatusOr<int64_t> r) {
                  // On the storing thread: the answer goes to the event
                  // loop, where the connection may have gone meanwhile.
                  QMetaObject::invokeMethod(
                      answers,
                      [alive, this, r = std::move(r)] {
                        if (alive.lock() != nullptr) Stored(r);
                      },
                      Qt::QueuedConnection);
                });
  }

  static Reply ReplyFor(const base::StatusOr<int64_t>& stored) {
    if (stored.ok())
      return {250, "2.0.0", "Ok: queued as " + std::to_string(*stored)};
    const FailureAnswer answer = AnswerFor(stored.status());
    if (answer.permanent)
      return {answer.smtp_code, answer.enhanced, stored.status().message()};
    base::DebugOut("submission: not stored: %s\n",
                   stored.status().ToString().c_str());
    return {answer.smtp_code, answer.enhanced,
            "cannot store the message now; try again later"};
  }

  void Stored(const base::StatusOr<int64_t>& stored) {
    if (socket_ == nullptr) return;
    session_->MessageStored(ReplyFor(stored));
    Flush();
    if (socket_ == nullptr || session_->Closed() || session_->AwaitingStore())
      return;
    Arm();
    Read();
  }

  void Read() {
    bool restart = false;
    while (socket_ != nullptr && socket_->bytesAvailable() > 0 &&
           !session_->Closed() && !pause_.isActive() &&
           !session_->AwaitingStore()) {
      const QByteArray chunk = socket_->read(kSubmissionReadChunk);
      if (chunk.isEmpty()) break;
      session_->Feed(std::string_view(chunk.constData(), chunk.size()));
      restart |= session_->RestartsIdleTimer();
      Flush();
    }
    if (restart && !pause_.isActive() && !session_->Closed() &&
        !session_->AwaitingStore())
      Arm();
  }

  // Writes the session's replies (after its pause, when it asks for one);
  // starts TLS or closes when it says so.
  void Flush() {
    held_output_ += session_->TakeOutput();
    if (session_->ReplyDelay().count() > 0) {
      if (!pause_.isActive()) {
        idle_.stop();
        pause_.start(session_->ReplyDelay());
      }
      return;
    }
    Write(held_output_);
    held_output_.clear();
    if (session_->Closed()) {
      socket_->disconnectFromHost();
      return;
    }
    if (session_->TlsRequested() && !socket_->isEncrypted() && !tls_started_) {
      tls_started_ = true;
      socket_->flush();
      socket_->setSslConfiguration(tls_);
      socket_->startServerEncryption();
    }
  }

  // The pause after a failed login is over: its answer goes out, and the
  // input that waited is read.
  void Unpause() {
    session_->Resume();
    Flush();
    if (socket_ == nullptr || session_->Closed()) return;
    Arm();
    Read();
  }

  void Write(const std::string& bytes) {
    if (!bytes.empty()) socket_->write(bytes.data(), bytes.size());
  }

  void Arm() {
    idle_.start(std::chrono::duration_cast<std::chrono::milliseconds>(
        session_->IdleTimeout()));
  }

  void Close() {
    idle_.stop();
    pause_.stop();
    login_.stop();
    if (socket_ != nullptr) socket_->deleteLater();  // takes this along
  }

  QPointer<QSslSocket> socket_;
  QSslConfiguration tls_;
  std::string store_;
  ConnectionLimits* limits_;
  Peer peer_;
  std::unique_ptr<SmtpSession> session_;
  QTimer idle_;   // the wait for the client
  QTimer pause_;  // the pause after a failed login
  QTimer login_;  // another user's time to log in
  SubmissionQueue* queue_;
  QObject* answers_;
  // Gone with the connection: an answer that comes later finds it gone.
  std::shared_ptr<char> alive_ = std::make_shared<char>();
  std::string held_output_;
  bool tls_started_ = false;
};

// The listening socket; hands each connection to the server.
class Listener : public QTcpServer {
 public:
  explicit Listener(std::function<void(qintptr)> accept)
      : accept_(std::move(accept)) {}

 protected:
  void incomingConnection(qintptr descriptor) override { accept_(descriptor); }

 private:
  std::function<void(qintptr)> accept_;
};

// A file's identity and last change: a setting rewritten (a new file
// renamed over the old one) reads as changed even with the same content.
struct FileStamp {
  ino_t inode = 0;
  int64_t modified_ns = -1;
  bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {st.st_ino,
          int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace

class SubmissionServer::Impl {
 public:
  base::Status LoadCertificate() {
    if (!tls.localCertificate().isNull()) return base::Status::Ok();
    const CredentialPaths paths = CredentialFiles();
    QFile cert_file(QString::fromStdString(paths.certificate));
    QFile key_file(QString::fromStdString(paths.key));
    if (!cert_file.open(QIODevice::ReadOnly) ||
        !key_file.open(QIODevice::ReadOnly)) {
      return base::Status::NotFound("no certificate and key in " +
                                    paths.folder +
                                    " (tarnvex-device mail reset makes them)");
    }
    const QSslCertificate cert(&cert_file, QSsl::Pem);
    const QSslKey key(&key_file, QSsl::Ec, QSsl::Pem);
    if (cert.isNull() || key.isNull()) {
      return base::Status::Corrupt("the certificate or key in " + paths.folder +
                                   " cannot be read");
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(cert);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients show none
    config.setProtocol(QSsl::TlsV1_2OrLater);
    tls = config;
    return base::Status::Ok();
  }

  // Listens on `port`; the listener before stops only once the new one
  // stands.
  base::Status Listen(uint16_t port) {
    auto next = std::make_unique<Listener>(
        [this](qintptr descriptor) { Accept(descriptor); });
    if (!next->listen(QHostAddress::LocalHost, port)) {
      std::string why = "cannot listen on 127.0.0.1:" + std::to_string(port) +
                        ": " + next->errorString().toStdString();
      // A port another program holds is busy; the rest says what failed.
      if (next->serverError() == QAbstractSocket::AddressInUseError)
        return base::Status::Busy(std::move(why));
      return base::Status::IoError(std::move(why));
    }
    listener = std::move(next);
    return base::Status::Ok();
  }

  void Accept(qintptr descriptor) {
    const Peer peer =
        ClassifyPeer(PeerUserOfSocket(static_cast<int>(descriptor)), geteuid());
    auto* socket = new QSslSocket(sockets.get());
    if (!socket->setSocketDescriptor(descriptor)) {
      delete socket;
      return;
    }
    if (!limits.TryOpen(peer)) {
      socket->write("421 4.7.0 too many connections; try again later\r\n");
      socket->disconnectFromHost();
      QObject::connect(socket, &QAbstractSocket::disconnected, socket,
                       &QObject::deleteLater);
      return;
    }
    auto* connection = new Connection(socket, tls, store, &limits, peer,
                                      queue.get(), &answers);
    QObject::connect(socket, &QObject::destroyed,
                     [connection] { delete connection; });
  }

  // The setting changed on disk: the server follows it.
  void SettingsChanged() {
    const FileStamp now = StampOf(SettingsPath());
    if (now == stamp) return;  // another file of the folder changed
    stamp = now;
    const base::StatusOr<SubmissionSettings> read = ReadSubmissionSettings();
    if (!read.ok()) {
      say(read.status().message() + "; the submission server stays as it is",
          true);
      return;
    }
    const SubmissionSettings& wanted = *read;
    store = wanted.store;
    const uint16_t serving = listener ? listener->serverPort() : 0;
    if (!wanted.on) {
      if (listener)
        say("submission server stopped (mail submission --off)", false);
      listener.reset();
      return;
    }
    if (serving == wanted.port && wanted.port != 0) return;
    base::Status started = LoadCertificate();
    if (started.ok()) started = Listen(wanted.port);
    if (!started.ok()) {
      say("submission server " +
              (serving != 0 ? "stays on 127.0.0.1:" + std::to_string(serving)
                            : std::string("not started")) +
              ": " + started.message(),
          true);
      return;
    }
    say("submission server on 127.0.0.1:" +
            std::to_string(listener->serverPort()) + " for " + store,
        false);
  }

  QSslConfiguration tls;
  std::string store;
  ConnectionLimits limits;
  // The connections' sockets (and with them the connections); made after
  // the limits they give their places back to, so gone before them.
  std::unique_ptr<QObject> sockets = std::make_unique<QObject>();
  std::unique_ptr<Listener> listener;
  // Where the storing thread's answers arrive; the queue goes first (its
  // last answers are posted here, then dropped with it).
  QObject answers;
  std::unique_ptr<SubmissionQueue> queue = std::make_unique<SubmissionQueue>();
  QFileSystemWatcher watcher;
  FileStamp stamp;
  Say say;
};

SubmissionServer::SubmissionServer() : impl_(std::make_unique<Impl>()) {}
SubmissionServer::~SubmissionServer() = default;

base::Status SubmissionServer::Start(uint16_t port, const std::string& store) {
  impl_->store = store;
  if (base::Status loaded = impl_->LoadCertificate(); !loaded.ok())
    return loaded;
  return impl_->Listen(port);
}

uint16_t SubmissionServer::port() const {
  return impl_->listener ? impl_->listener->serverPort() : 0;
}

base::Status SubmissionServer::FollowSettings(Say say) {
  impl_->say = std::move(say);
  const std::string folder = CredentialFiles().folder;
  impl_->stamp = StampOf(SettingsPath());
  if (!device::EnsurePrivateDir(folder) ||
      !impl_->watcher.addPath(QString::fromStdString(folder))) {
    return base::Status::IoError("cannot watch " + folder +
                                 " for a changed submission setting");
  }
  Impl* impl = impl_.get();
  QObject::connect(&impl_->watcher, &QFileSystemWatcher::directoryChanged,
                   [impl] { impl->SettingsChanged(); });
  return base::Status::Ok();
}

base::StatusOr<SubmissionSettings> ReadSubmissionSettings() {
  SubmissionSettings settings;
  std::ifstream in(SettingsPath());
  if (!in) return settings;  // none made: the defaults
  std::string word;
  while (in >> word) {
    if (word == "off") {
      settings.on = false;
    } else if (word == "port") {
      long port = -1;
      if (!(in >> port) || port < 0 || port > 65535) {
        return base::Status::Corrupt("the setting in " + SettingsPath() +
                                     " is not a port");
      }
      settings.port = static_cast<uint16_t>(port);
    } else if (word == "store") {
      // The rest of the line: a store name may hold blanks.
      std::getline(in >> std::ws, settings.store);
      if (settings.store.empty()) {
        return base::Status::Corrupt("the setting in " + SettingsPath() +
                                     " names no store");
      }
    } else {
      return base::Status::Corrupt("the setting in " + SettingsPath() +
                                   " cannot be read");
    }
  }
  return settings;
}

base::Status WriteSubmissionSettings(const SubmissionSettings& settings) {
  std::ostringstream text;
  if (!settings.on) text << "off\n";
  text << "port " << settings.port << "\n";
  text << "store " << settings.store << "\n";
  if (!device::EnsurePrivateDir(CredentialFiles().folder) ||
      !device::WritePrivateFile(SettingsPath(), text.str())) {
    return base::Status::IoError("cannot write " + SettingsPath());
  }
  return base::Status::Ok();
}

}  // namespace mail
