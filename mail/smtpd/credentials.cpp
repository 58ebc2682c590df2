// The device's submission credentials and its self-signed certificate, made
// once and kept private in the image.
#include "mail/smtpd/credentials.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "device/files.h"
#include "device/image.h"

namespace mail {
namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;

constexpr size_t kPasswordChars = 24;  // about 143 bits

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : "";
}

// A new random password of letters and digits only: nothing a shell, a
// configuration file or a client's command line (a leading "-" taken for an
// option) reads otherwise. Each character is drawn without bias from the 62.
bool NewPassword(std::string* password) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  constexpr unsigned kSize = sizeof kAlphabet - 1;  // 62
  constexpr unsigned kLimit = 256 - 256 % kSize;    // 248
  password->clear();
  while (password->size() < kPasswordChars) {
    unsigned char bytes[32];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    for (unsigned char b : bytes) {
      if (b < kLimit && password->size() < kPasswordChars)
        password->push_back(kAlphabet[b % kSize]);
    }
  }
  return true;
}

// A self-signed certificate for "localhost" and 127.0.0.1 with a new P-256
// key, both in PEM.
bool NewCertificate(std::string* cert_pem, std::string* key_pem) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) return false;
  Cert cert(X509_new());
  if (!cert) return false;
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return false;
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  if (number == nullptr) return false;
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()),
                  static_cast<long>(kCertificateDays) * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(
      name, "CN", MBSTRING_ASC,
      reinterpret_cast<const unsigned char*>("Tarnvex device"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* alt = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name,
                                            "DNS:localhost,IP:127.0.0.1");
  if (alt == nullptr) return false;
  X509_add_ext(cert.get(), alt, -1);
  X509_EXTENSION_free(alt);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return false;
  Bio cert_bio(BIO_new(BIO_s_mem())), key_bio(BIO_new(BIO_s_mem()));
  if (!cert_bio || !key_bio ||
      PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0,
                               nullptr, nullptr) != 1) {
    return false;
  }
  *cert_pem = BioText(cert_bio.get());
  *key_pem = BioText(key_bio.get());
  return !cert_pem->empty() && !key_pem->empty();
}

}  // namespace

CredentialPaths CredentialFiles() {
  CredentialPaths paths;
  paths.folder = device::MailDataDir();
  paths.password = paths.folder + "/submission-password";
  paths.certificate = paths.folder + "/submission-cert.pem";
  paths.key = paths.folder + "/submission-key.pem";
  return paths;
}

base::Status EnsureCredentials(bool replace) {
  const CredentialPaths paths = CredentialFiles();
  if (!device::EnsurePrivateDir(paths.folder))
    return base::Status::IoError("cannot make " + paths.folder);
  if (replace || !Exists(paths.password)) {
    std::string password;
    if (!NewPassword(&password) ||
        !device::WritePrivateFile(paths.password, password + "\n")) {
      return base::Status::IoError("cannot write " + paths.password);
    }
  }
  if (replace || !Exists(paths.certificate) || !Exists(paths.key)) {
    std::string cert, key;
    if (!NewCertificate(&cert, &key)) {
      return base::Status::IoError("cannot make the device's TLS certificate");
    }
    // The key first: a certificate never stands beside another key.
    if (!device::WritePrivateFile(paths.key, key) ||
        !device::WritePrivateFile(paths.certificate, cert)) {
      return base::Status::IoError("cannot write " + paths.certificate);
    }
  }
  return base::Status::Ok();
}

bool ReadSubmissionPassword(std::string* password) {
  std::string text = ReadAll(CredentialFiles().password);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  if (text.empty()) return false;
  *password = text;
  return true;
}

bool SubmissionPasswordMatches(const std::string& user,
                               const std::string& password) {
  std::string kept;
  if (!ReadSubmissionPassword(&kept)) return false;
  // Every byte is compared whatever the first difference, and the lengths
  // too, so the time taken tells nothing.
  unsigned char differ = user == kSubmissionUser ? 0 : 1;
  differ |= static_cast<unsigned char>(kept.size() != password.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    const unsigned char given =
        i < password.size() ? static_cast<unsigned char>(password[i]) : 0;
    differ |= static_cast<unsigned char>(kept[i]) ^ given;
  }
  return differ == 0;
}

base::StatusOr<std::string> CertificateFingerprint() {
  const std::string pem = ReadAll(CredentialFiles().certificate);
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  Cert cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                : nullptr);
  if (!cert) {
    const std::string why =
        "no certificate in " + CredentialFiles().certificate;
    // An empty read is a file that is not there; anything else is damaged.
    if (pem.empty()) return base::Status::NotFound(why);
    return base::Status::Corrupt(why);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(cert.get(), EVP_sha256(), digest, &size) != 1) {
    return base::Status::Corrupt("cannot take the certificate's fingerprint");
  }
  std::string fingerprint;
  char hex[4];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : ":%02X", digest[i]);
    fingerprint.append(hex);
  }
  return fingerprint;
}

}  // namespace mail
