// The submission's password, certificate and key: made once, private, read
// back, checked by openssl itself, and made anew only when asked.
#include "mail/smtpd/credentials.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_image.h"

namespace {

int Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777)
                                      : -1;
}

TEST(CredentialsTest, MadeOncePrivateAndCheckedByOpenssl) {
  testing_support::TempImage image;
  const base::Status made = mail::EnsureCredentials(false);
  ASSERT_TRUE(made.ok()) << made.message();
  const mail::CredentialPaths paths = mail::CredentialFiles();
  EXPECT_EQ(Mode(paths.folder), 0700);
  for (const std::string& file : {paths.password, paths.certificate, paths.key})
    EXPECT_EQ(Mode(file), 0600) << file;

  std::string password;
  ASSERT_TRUE(mail::ReadSubmissionPassword(&password));
  EXPECT_GE(password.size(), 24u);
  // Letters and digits only: no client takes it for an option ("-...") or
  // reads a quote or a blank in it.
  for (int round = 0; round < 40; ++round) {
    for (char c : password)
      ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << password;
    const base::Status remade = mail::EnsureCredentials(true);
    ASSERT_TRUE(remade.ok()) << remade.message();
    ASSERT_TRUE(mail::ReadSubmissionPassword(&password));
  }
  EXPECT_TRUE(mail::SubmissionPasswordMatches(mail::kSubmissionUser, password));
  EXPECT_FALSE(mail::SubmissionPasswordMatches("someone", password));
  EXPECT_FALSE(mail::SubmissionPasswordMatches(mail::kSubmissionUser, ""));
  EXPECT_FALSE(mail::SubmissionPasswordMatches(mail::kSubmissionUser,
                                               password.substr(1)));
  EXPECT_FALSE(
      mail::SubmissionPasswordMatches(mail::kSubmissionUser, password + "x"));

  // openssl reads the certificate, its key belongs to it, and the
  // fingerprint is the one the device shows.
  const base::StatusOr<std::string> taken = mail::CertificateFingerprint();
  ASSERT_TRUE(taken.ok()) << taken.status().message();
  const std::string fingerprint = *taken;
  std::string out;
  ASSERT_EQ(testing_support::RunProgram(
                {"/usr/bin/openssl", "x509", "-in", paths.certificate, "-noout",
                 "-fingerprint", "-sha256", "-ext", "subjectAltName"},
                &out),
            0);
  EXPECT_NE(out.find(fingerprint), std::string::npos) << out;
  EXPECT_NE(out.find("DNS:localhost"), std::string::npos) << out;
  std::string from_cert, from_key;
  ASSERT_EQ(
      testing_support::RunProgram({"/usr/bin/openssl", "x509", "-in",
                                   paths.certificate, "-noout", "-pubkey"},
                                  &from_cert),
      0);
  ASSERT_EQ(
      testing_support::RunProgram(
          {"/usr/bin/openssl", "pkey", "-in", paths.key, "-pubout"}, &from_key),
      0);
  EXPECT_EQ(from_cert, from_key);

  // Kept as they are unless a reset asks for new ones.
  const base::Status kept = mail::EnsureCredentials(false);
  ASSERT_TRUE(kept.ok()) << kept.message();
  std::string again;
  ASSERT_TRUE(mail::ReadSubmissionPassword(&again));
  EXPECT_EQ(again, password);
  const base::Status reset = mail::EnsureCredentials(true);
  ASSERT_TRUE(reset.ok()) << reset.message();
  ASSERT_TRUE(mail::ReadSubmissionPassword(&again));
  EXPECT_NE(again, password);
  const base::StatusOr<std::string> new_fingerprint =
      mail::CertificateFingerprint();
  ASSERT_TRUE(new_fingerprint.ok());
  EXPECT_NE(*new_fingerprint, fingerprint);
}

}  // namespace
