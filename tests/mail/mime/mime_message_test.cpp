// Reading real-world shaped mail into the texts of a stored message, and the
// message kept for delivery (less Bcc).
#include "mail/mime/mime_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Mail on the wire has CRLF line ends; the tests write LF for legibility.
std::string Crlf(std::string_view lf) {
  std::string out;
  for (char c : lf) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

mail::ReadMail Read(std::string_view raw) {
  mail::ReadMail mail;
  std::string error;
  EXPECT_TRUE(mail::ReadMessage(raw, &mail, &error)) << error;
  return mail;
}

TEST(MimeMessageTest, ReadsPlainAsciiMessage) {
  const mail::ReadMail m =
      Read(Crlf("Return-Path: <anna@example.org>\n"
                "From: Anna Berg <anna@example.org>\n"
                "To: bert@example.net\n"
                "Subject: Lunch on\n"
                " Friday?\n"
                "Date: Mon, 3 Jun 2024 10:15:00 +0200\n"
                "Message-ID: <1234@example.org>\n"
                "\n"
                "Hi Bert,\n"
                "\n"
                "shall we meet at noon?\n"));
  EXPECT_EQ(m.from, "anna@example.org");
  EXPECT_EQ(m.from_name, "Anna Berg");
  EXPECT_THAT(m.to, ElementsAre("bert@example.net"));
  EXPECT_THAT(m.cc, IsEmpty());
  EXPECT_THAT(m.bcc, IsEmpty());
  EXPECT_EQ(m.subject, "Lunch on Friday?");
  EXPECT_EQ(m.text, "Hi Bert,\n\nshall we meet at noon?\n");
  EXPECT_FALSE(m.has_8bit_headers);
}

TEST(MimeMessageTest, DecodesEncodedWordsInAnyCharset) {
  struct Case {
    const char* header;
    const char* decoded;
  };
  const Case cases[] = {
      {"=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=", "Grüße aus Köln"},
      {"=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=", "Grüße aus Köln"},
      {"=?ISO-8859-1?Q?Caf=E9_cr=E8me?=", "Café crème"},
      {"=?iso-8859-1?b?Q2Fm6SBjcuhtZQ==?=", "Café crème"},
      {"=?Shift_JIS?B?k/qWe4zqgsyMj5a8?=", "日本語の件名"},
      // Adjacent encoded-words join without the space between them.
      {"=?UTF-8?Q?Gr=C3=BC=C3=9Fe?=\n =?ISO-8859-1?Q?_Caf=E9?= und mehr",
       "Grüße Café und mehr"},
  };
  for (const Case& c : cases) {
    const mail::ReadMail m = Read(Crlf(
        std::string("From: =?UTF-8?B?SsO8cmdlbiBXZWnDnw==?= <jw@example.de>\n"
                    "To: anna@example.org\n"
                    "Subject: ") +
        c.header + "\n\nBody\n"));
    EXPECT_EQ(m.subject, c.decoded) << c.header;
    EXPECT_EQ(m.from_name, "Jürgen Weiß");
    EXPECT_FALSE(m.has_8bit_headers);
  }
}

TEST(MimeMessageTest, TakesQuotedPrintablePlainTextOfAlternative) {
  const mail::ReadMail m =
      Read(Crlf("From: anna@example.org\n"
                "To: bert@example.net\n"
                "Subject: Offer\n"
                "MIME-Version: 1.0\n"
                "Content-Type: multipart/alternative; boundary=\"b1_x\"\n"
                "\n"
                "This is a multi-part message in MIME format.\n"
                "--b1_x\n"
                "Content-Type: text/html; charset=UTF-8\n"
                "\n"
                "<p>Not this one</p>\n"
                "--b1_x\n"
                "Content-Type: text/plain; charset=UTF-8\n"
                "Content-Transfer-Encoding: quoted-printable\n"
                "\n"
                "The price is 20 =E2=82=AC per person, a very long line that "
                "the sender =\n"
                "wrapped softly.\n"
                "Gr=C3=BC=C3=9Fe\n"
                "--b1_x--\n"));
  EXPECT_EQ(m.text,
            "The price is 20 € per person, a very long line that the sender "
            "wrapped softly.\nGrüße");
}

TEST(MimeMessageTest, ReadsTheTextOfHtmlOnlyMail) {
  const mail::ReadMail m = Read(Crlf(
      "From: news@example.com\n"
      "To: anna@example.org\n"
      "Subject: Newsletter\n"
      "MIME-Version: 1.0\n"
      "Content-Type: text/html; charset=\"iso-8859-1\"\n"
      "Content-Transfer-Encoding: quoted-printable\n"
      "\n"
      "<!DOCTYPE html><html><head><title>Ignore me</title>\n"
      "<style>p { color: red; }</style>\n"
      "<script type=3D\"text/javascript\">var x =3D "
      "\"<p>hidden</p>\";</script>\n"
      "</head><body><p>Caf=E9 &amp; cr&egrave;me&nbsp;br&ucirc;l&eacute;e</p>\n"
      "<p>Line one<br>Line   two<BR/>&#8364; &#x263A; &lt;tag&gt; &bogus; "
      "AT&T</p>\n"
      "<!-- a comment <p>not text</p> -->\n"
      "<div>Last <a href=3D\"http://x.example/?a=3D1&amp;b=3D2\" title=3D'a > "
      "b'>link</a></div>\n"
      "</body></html>\n"));
  EXPECT_EQ(m.text,
            "Café & crème brûlée\n\n"
            "Line one\nLine two\n€ ☺ <tag> &bogus; AT&T\n\n"
            "Last link");
}

TEST(MimeMessageTest, ConvertsBase64TextFromItsCharset) {
  const mail::ReadMail m =
      Read(Crlf("From: anna@example.org\n"
                "To: bert@example.net\n"
                "Subject: Prices\n"
                "MIME-Version: 1.0\n"
                "Content-Type: text/plain; charset=\"windows-1252\"\n"
                "Content-Transfer-Encoding: base64\n"
                "\n"
                "UHJpeDogMjAggCCWIKt0cuhzuyCRYm9ukg0KwCBiaWVudPR0DQo=\n"));
  EXPECT_EQ(m.text, "Prix: 20 € – «très» ‘bon’\nÀ bientôt\n");

  // A charset nobody knows: the bytes are kept, read as Latin-1.
  const mail::ReadMail unknown = Read(
      "From: anna@example.org\n"
      "Content-Type: text/plain; charset=x-no-such-charset\n"
      "Content-Transfer-Encoding: 8bit\n"
      "\n"
      "caf\xe9 \xff\n");
  EXPECT_EQ(unknown.text, "café ÿ\n");

  // Undeclared 8-bit text: valid UTF-8 stays, a stray byte is Latin-1.
  const mail::ReadMail undeclared = Read(
      "From: anna@example.org\n"
      "\n"
      "K\xc3\xb6ln and K\xf6ln\n");
  EXPECT_EQ(undeclared.text, "Köln and Köln\n");
}

TEST(MimeMessageTest, SkipsAttachmentsAndWalksNestedMultiparts) {
  // A text/plain attachment comes first; the text is the inline body in a
  // multipart/alternative two levels down.
  const mail::ReadMail m =
      Read(Crlf("From: anna@example.org\n"
                "To: bert@example.net\n"
                "Subject: Report\n"
                "MIME-Version: 1.0\n"
                "Content-Type: multipart/mixed; boundary=outer\n"
                "\n"
                "--outer\n"
                "Content-Type: text/plain; charset=us-ascii; name=notes.txt\n"
                "Content-Disposition: attachment; filename=notes.txt\n"
                "\n"
                "attached notes, not the text\n"
                "--outer\n"
                "Content-Type: multipart/mixed; boundary=inner\n"
                "\n"
                "--inner\n"
                "Content-Type: multipart/related; boundary=rel\n"
                "\n"
                "--rel\n"
                "Content-Type: multipart/alternative; boundary=alt\n"
                "\n"
                "--alt\n"
                "Content-Type: text/plain; charset=utf-8\n"
                "Content-Disposition: inline\n"
                "\n"
                "The report is attached.\n"
                "--alt\n"
                "Content-Type: text/html; charset=utf-8\n"
                "\n"
                "<p>The report is attached.</p>\n"
                "--alt--\n"
                "--rel\n"
                "Content-Type: image/png\n"
                "Content-Transfer-Encoding: base64\n"
                "\n"
                "iVBORw0KGgo=\n"
                "--rel--\n"
                "--inner--\n"
                "--outer\n"
                "Content-Type: message/rfc822\n"
                "\n"
                "From: someone@example.com\n"
                "Subject: forwarded\n"
                "\n"
                "forwarded text, not the text\n"
                "--outer--\n"));
  EXPECT_EQ(m.text, "The report is attached.");

  // Only an attachment and an attached message: no text at all.
  const mail::ReadMail none =
      Read(Crlf("From: anna@example.org\n"
                "Content-Type: multipart/mixed; boundary=b\n"
                "\n"
                "--b\n"
                "Content-Type: text/plain\n"
                "Content-Disposition: ATTACHMENT; filename=a.txt\n"
                "\n"
                "attached\n"
                "--b\n"
                "Content-Type: message/rfc822\n"
                "\n"
                "Subject: inner\n"
                "\n"
                "inner text\n"
                "--b--\n"));
  EXPECT_EQ(none.text, "");

  // An HTML part is the text only when no plain part follows anywhere.
  const mail::ReadMail html_then_plain =
      Read(Crlf("From: anna@example.org\n"
                "Content-Type: multipart/mixed; boundary=b\n"
                "\n"
                "--b\n"
                "Content-Type: text/html\n"
                "\n"
                "<b>html</b>\n"
                "--b\n"
                "Content-Type: text/plain\n"
                "\n"
                "plain\n"
                "--b--\n"));
  EXPECT_EQ(html_then_plain.text, "plain");
}

TEST(MimeMessageTest, FlattensGroupsAndQuotedNamesIntoAddrSpecs) {
  const mail::ReadMail m = Read(Crlf(
      "From: \"Berg, Anna\" <anna@example.org>, other@example.org\n"
      "To: \"Doe, John (Sales)\" <john@example.com>, team: ann@example.com,\n"
      " \"Lee, Bo\" <bo@example.com>;, =?UTF-8?Q?M=C3=BCller=2C_K?= "
      "<k@example.de>\n"
      "Cc: undisclosed-recipients:;, carl@example.net (Carl, at home)\n"
      "Bcc: secret@example.org\n"
      "Bcc: also@example.org\n"
      "Subject: addresses\n"
      "\n"
      "Body\n"));
  EXPECT_EQ(m.from, "anna@example.org");
  EXPECT_EQ(m.from_name, "Berg, Anna");
  EXPECT_THAT(m.to, ElementsAre("john@example.com", "ann@example.com",
                                "bo@example.com", "k@example.de"));
  EXPECT_THAT(m.cc, ElementsAre("carl@example.net"));
  EXPECT_THAT(m.bcc, ElementsAre("secret@example.org", "also@example.org"));

  // The same reading for a header value on its own (sendmail -t).
  std::vector<std::string> list;
  EXPECT_TRUE(mail::ParseAddressList(
      "\"Doe, John\" <john@example.com>, team: a@x.example, b@x.example;",
      &list));
  EXPECT_THAT(list,
              ElementsAre("john@example.com", "a@x.example", "b@x.example"));
  EXPECT_TRUE(mail::ParseAddressList("  ", &list));
  EXPECT_THAT(list, IsEmpty());
  EXPECT_TRUE(mail::ParseAddressList("undisclosed-recipients:;", &list));
  EXPECT_THAT(list, IsEmpty());
  EXPECT_FALSE(
      mail::ParseAddressList(std::string("a@x.example\0b", 13), &list));
}

TEST(MimeMessageTest, NoFromIsEmpty) {
  const mail::ReadMail m = Read("To: bert@example.net\n\nBody\n");
  EXPECT_EQ(m.from, "");
  EXPECT_EQ(m.from_name, "");
  EXPECT_EQ(m.subject, "");
}

TEST(MimeMessageTest, WithoutBccRemovesOnlyTopLevelBccFields) {
  static constexpr char kOddBytesText[] =
      "Subject: \xff\0x\r\n\r\n\r\nBcc: body\r\n";
  const std::string kOddBytes(kOddBytesText, sizeof(kOddBytesText) - 1);
  struct Case {
    const char* name;
    std::string raw;
    std::string kept;
  };
  const std::string body_and_part =
      "--b\n"
      "Content-Type: text/plain\n"
      "Bcc: part-header@example.org\n"
      "\n"
      "Bcc: body-line@example.org\n"
      "--b--\n";
  const Case cases[] = {
      {"folded CRLF",
       Crlf("From: anna@example.org\n"
            "Bcc: one@example.org,\n"
            "  two@example.org,\n"
            "\tthree@example.org\n"
            "To: bert@example.net\n"
            "\n"
            "Bcc: in the body stays\n"),
       Crlf("From: anna@example.org\n"
            "To: bert@example.net\n"
            "\n"
            "Bcc: in the body stays\n")},
      {"LF only, lower case, last field, space before colon",
       "To: bert@example.net\n"
       "bcc : x@example.org\n"
       "X-Bcc: stays@example.org\n"
       "Bccx: stays too\n"
       "BCC:y@example.org\n"
       "\n"
       "body\n",
       "To: bert@example.net\n"
       "X-Bcc: stays@example.org\n"
       "Bccx: stays too\n"
       "\n"
       "body\n"},
      {"part headers and body keep theirs",
       "Content-Type: multipart/mixed; boundary=b\n"
       "Bcc: top@example.org\n"
       "\n" +
           body_and_part,
       "Content-Type: multipart/mixed; boundary=b\n"
       "\n" +
           body_and_part},
      {"no body, no final line end",
       "Subject: s\r\nBcc: a@example.org\r\n b@example.org", "Subject: s\r\n"},
      {"no Bcc: unchanged, odd bytes and all", kOddBytes, kOddBytes},
  };
  for (const Case& c : cases) {
    const std::string kept = mail::WithoutBcc(c.raw);
    EXPECT_EQ(kept, c.kept) << c.name;
    EXPECT_EQ(mail::WithoutBcc(kept), kept) << c.name;
  }
}

TEST(MimeMessageTest, DetectsEightBitHeadersOnly) {
  EXPECT_TRUE(Read("From: anna@example.org\r\n"
                   "Subject: Gr\xc3\xbc\xc3\x9f"
                   "e\r\n\r\nBody\r\n")
                  .has_8bit_headers);
  const mail::ReadMail folded = Read(
      "From: anna@example.org\n"
      "To: bert@example.net,\n"
      " j\xc3\xbcrgen@example.de\n"
      "\n"
      "Body\n");
  EXPECT_TRUE(folded.has_8bit_headers);
  EXPECT_THAT(folded.to, ElementsAre("bert@example.net", "jürgen@example.de"));
  // Raw UTF-8 in the subject is read as such.
  EXPECT_EQ(Read("Subject: Gr\xc3\xbc\xc3\x9f"
                 "e\n\n")
                .subject,
            "Grüße");
  // 8-bit bytes in the body only (8BITMIME is enough for those).
  EXPECT_FALSE(Read("From: anna@example.org\r\n"
                    "Content-Type: text/plain; charset=utf-8\r\n"
                    "\r\n"
                    "Gr\xc3\xbc\xc3\x9f"
                    "e\r\n")
                   .has_8bit_headers);
}

std::string Nested(int depth) {
  std::string raw = "From: anna@example.org\n";
  for (int i = 0; i < depth; ++i) {
    raw += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) +
           "\n\n--b" + std::to_string(i) + "\n";
  }
  raw += "Content-Type: text/plain\n\ndeep text\n";
  for (int i = depth - 1; i >= 0; --i)
    raw += "--b" + std::to_string(i) + "--\n";
  return raw;
}

TEST(MimeMessageTest, RefusesOverDeepNestingAndOversizeMail) {
  mail::ReadMail m;
  std::string error;
  // The deepest allowed: multiparts around the text part.
  ASSERT_TRUE(mail::ReadMessage(Nested(mail::kMaxMimeDepth - 1), &m, &error))
      << error;
  EXPECT_EQ(m.text, "deep text");  // the line end before a boundary is its own

  EXPECT_FALSE(mail::ReadMessage(Nested(mail::kMaxMimeDepth), &m, &error));
  EXPECT_THAT(error, ::testing::HasSubstr("nested deeper than"));
  EXPECT_EQ(m.text, "");

  // Attached messages count as levels too.
  std::string messages;
  for (int i = 0; i < mail::kMaxMimeDepth + 1; ++i) {
    messages += "Content-Type: message/rfc822\n\n";
  }
  messages += "Subject: innermost\n\ntext\n";
  EXPECT_FALSE(mail::ReadMessage(messages, &m, &error));
  EXPECT_THAT(error, ::testing::HasSubstr("nested deeper than"));

  std::string big = "Subject: big\n\n";
  big.resize(mail::kMaxMessageSize + 1, 'x');
  EXPECT_FALSE(mail::ReadMessage(big, &m, &error));
  EXPECT_THAT(error, ::testing::HasSubstr("over the limit"));
}

TEST(MimeMessageTest, ReadsMalformedMailAsWellAsItCan) {
  const char* inputs[] = {
      "",
      "\n\nonly a body",
      "Content-Type: multipart/mixed; boundary=never\n\n--never\n",
      "Content-Type: text/plain; charset=\"\n\nx",
      "Content-Transfer-Encoding: base64\n\n!!!!====",
      "To: <<<@@@>>>, ,,, \"unterminated\n\n",
      "Subject: only\n",
  };
  for (const char* raw : inputs) Read(raw);
  EXPECT_EQ(Read("Subject: only\n").subject, "only");

  // What `echo text | sendmail` hands over: no header at all. Its text is
  // the message's text.
  const mail::ReadMail body_only = Read("hello Bert\nsee you\n");
  EXPECT_EQ(body_only.text, "hello Bert\nsee you\n");
  EXPECT_EQ(body_only.subject, "");
  // Its 8-bit text is body text, no header.
  EXPECT_FALSE(Read("caf\xc3\xa9 au lait\n").has_8bit_headers);
  EXPECT_EQ(Read(" starts folded\nSubject: s\n\nbody").text,
            " starts folded\nSubject: s\n\nbody");
}

TEST(MimeMessageTest, HtmlToTextKeepsWhatIsNotMarkup) {
  EXPECT_EQ(mail::HtmlToText("a < b and c<d, 1 <2"), "a < b and c<d, 1 <2");
  EXPECT_EQ(mail::HtmlToText("<p>open <b unterminated"),
            "open <b unterminated");
  EXPECT_EQ(mail::HtmlToText("x&#0;y&#xD800;z&#99999999999;"),
            "x\xEF\xBF\xBDy\xEF\xBF\xBDz\xEF\xBF\xBD");
  EXPECT_EQ(mail::HtmlToText("<SCRIPT>never closed <p>x"), "");
  EXPECT_EQ(mail::HtmlToText("<pre>  two\n  lines</pre>after"),
            "two\n  lines\nafter");
  EXPECT_EQ(mail::HtmlToText("<table><tr><td>a</td><td>b</td></tr>"
                             "<tr><td>c</td></tr></table>"),
            "a b\nc");
}

}  // namespace
