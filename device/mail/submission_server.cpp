// The SMTP submission server's sockets: Qt Network's TCP and TLS, one
// session a connection, on the loopback address.
#include "device/mail/submission_server.h"

#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "device/debug.h"
#include "device/files.h"
#include "device/mail/credentials.h"
#include "device/mail/smtp_session.h"
#include "device/mail/submission.h"

namespace mail {
namespace {

std::string SettingsPath() { return CredentialFiles().folder + "/submission"; }

// One client: its socket, its session, its idle timer.
class Connection {
 public:
  Connection(QSslSocket* socket, const QSslConfiguration& tls,
             const std::string& store, int* open_sessions)
      : socket_(socket), tls_(tls), store_(store), open_(open_sessions) {
    ++*open_;
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
    hooks.accept_message = [this](const Envelope& envelope, std::string raw) {
      return Store(envelope, std::move(raw));
    };
    session_ = std::make_unique<SmtpSession>(config, std::move(hooks));
    idle_.setSingleShot(true);
    QObject::connect(&idle_, &QTimer::timeout, socket_, [this] {
      session_->TimedOut();
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
  }
  ~Connection() { --*open_; }

 private:
  Reply Store(const Envelope& envelope, std::string raw) {
    Submission submission;
    submission.store = store_;
    submission.envelope_from = envelope.reverse_path;
    submission.recipients = envelope.forward_paths;
    submission.raw = std::move(raw);
    int64_t id = 0;
    std::string error;
    switch (Submit(submission, &id, &error)) {
      case SubmitResult::kStored:
        return {250, "2.0.0", "Ok: queued as " + std::to_string(id)};
      case SubmitResult::kRefused:
        return {554, "5.6.0", error};
      case SubmitResult::kTempFail:
        break;
    }
    device::DebugOut("submission: not stored: %s\n", error.c_str());
    return {451, "4.3.0", "cannot store the message now; try again later"};
  }

  void Read() {
    while (socket_ != nullptr && socket_->bytesAvailable() > 0 &&
           !session_->Closed()) {
      const QByteArray chunk = socket_->read(kSubmissionReadChunk);
      if (chunk.isEmpty()) break;
      session_->Feed(std::string_view(chunk.constData(), chunk.size()));
      Flush();
    }
    Arm();
  }

  // Writes the session's replies; starts TLS or closes when it says so.
  void Flush() {
    Write(session_->TakeOutput());
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

  void Write(const std::string& bytes) {
    if (!bytes.empty()) socket_->write(bytes.data(), bytes.size());
  }

  void Arm() {
    idle_.start(std::chrono::duration_cast<std::chrono::milliseconds>(
        session_->IdleTimeout()));
  }

  void Close() {
    idle_.stop();
    if (socket_ != nullptr) socket_->deleteLater();  // takes this along
  }

  QPointer<QSslSocket> socket_;
  QSslConfiguration tls_;
  std::string store_;
  int* open_;
  std::unique_ptr<SmtpSession> session_;
  QTimer idle_;
  bool tls_started_ = false;
};

}  // namespace

class SubmissionServer::Impl : public QTcpServer {
 public:
  QSslConfiguration tls;
  std::string store;
  int open_sessions = 0;

 protected:
  void incomingConnection(qintptr descriptor) override {
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
      delete socket;
      return;
    }
    if (open_sessions >= kMaxSubmissionSessions) {
      socket->write("421 4.7.0 too many connections; try again later\r\n");
      socket->disconnectFromHost();
      QObject::connect(socket, &QAbstractSocket::disconnected, socket,
                       &QObject::deleteLater);
      return;
    }
    auto* connection = new Connection(socket, tls, store, &open_sessions);
    QObject::connect(socket, &QObject::destroyed,
                     [connection] { delete connection; });
  }
};

SubmissionServer::SubmissionServer() : impl_(std::make_unique<Impl>()) {}
SubmissionServer::~SubmissionServer() = default;

bool SubmissionServer::Start(uint16_t port, const std::string& store,
                             std::string* error) {
  impl_->store = store;
  const CredentialPaths paths = CredentialFiles();
  QFile cert_file(QString::fromStdString(paths.certificate));
  QFile key_file(QString::fromStdString(paths.key));
  if (!cert_file.open(QIODevice::ReadOnly) ||
      !key_file.open(QIODevice::ReadOnly)) {
    *error = "no certificate and key in " + paths.folder +
             " (tarnvex-device mail reset makes them)";
    return false;
  }
  const QSslCertificate cert(&cert_file, QSsl::Pem);
  const QSslKey key(&key_file, QSsl::Ec, QSsl::Pem);
  if (cert.isNull() || key.isNull()) {
    *error = "the certificate or key in " + paths.folder + " cannot be read";
    return false;
  }
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setLocalCertificate(cert);
  tls.setPrivateKey(key);
  tls.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients show no certificate
  tls.setProtocol(QSsl::TlsV1_2OrLater);
  impl_->tls = tls;
  if (!impl_->listen(QHostAddress::LocalHost, port)) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
             impl_->errorString().toStdString();
    return false;
  }
  return true;
}

uint16_t SubmissionServer::port() const { return impl_->serverPort(); }

bool ReadSubmissionSettings(SubmissionSettings* settings, std::string* error) {
  *settings = SubmissionSettings{};
  std::ifstream in(SettingsPath());
  if (!in) return true;  // none made: the defaults
  std::string word;
  while (in >> word) {
    if (word == "off") {
      settings->on = false;
    } else if (word == "port") {
      long port = -1;
      if (!(in >> port) || port < 0 || port > 65535) {
        *error = "the setting in " + SettingsPath() + " is not a port";
        return false;
      }
      settings->port = static_cast<uint16_t>(port);
    } else if (word == "store") {
      // The rest of the line: a store name may hold blanks.
      std::getline(in >> std::ws, settings->store);
      if (settings->store.empty()) {
        *error = "the setting in " + SettingsPath() + " names no store";
        return false;
      }
    } else {
      *error = "the setting in " + SettingsPath() + " cannot be read";
      return false;
    }
  }
  return true;
}

bool WriteSubmissionSettings(const SubmissionSettings& settings,
                             std::string* error) {
  std::ostringstream text;
  if (!settings.on) text << "off\n";
  text << "port " << settings.port << "\n";
  text << "store " << settings.store << "\n";
  if (!device::EnsurePrivateDir(CredentialFiles().folder) ||
      !device::WritePrivateFile(SettingsPath(), text.str())) {
    *error = "cannot write " + SettingsPath();
    return false;
  }
  return true;
}

}  // namespace mail
