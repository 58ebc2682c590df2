// Token texts: the canonical form of a text's words. A token text is the
// distinct lowercase stems of a text in ascending byte order (strcmp order),
// each followed by exactly one space; "" means no tokens. It never holds a
// single or a double quote.
//
// TokenList is the parsed, in-memory form: the words in order, each its own
// string, so a list copies, moves and goes like any other value.
#ifndef TARNVEX_TEXT_TOKENS_H_
#define TARNVEX_TEXT_TOKENS_H_

#include <string>
#include <string_view>
#include <vector>

using TokenList = std::vector<std::string>;

// The two forms of the program's narrow text: the device's code page says
// which (device/codepage.h).
enum class NarrowForm {
  kCp1252,  // one byte a character
  kUtf8,
};
NarrowForm DeviceNarrowForm();

// Turns `text` (up to its first NUL) into its token text in `out`.
//
// Code page 1252: words are the runs between the bytes 0x01..0x20 and the 32
// punctuation bytes of tokens.cpp; A-Z are lowered (no other byte) and every
// word is stemmed.
//
// UTF-8: ASCII splits as above. Letters, marks and digits of every script
// make words; any other character (punctuation, symbols, emoji, spaces)
// splits them, and so do U+00A7 and U+00B4 as their 1252 bytes do. Words are
// lowered with the full case mapping, Latin ones stemmed; texts written
// without spaces (Chinese, Japanese, Thai, Lao, Khmer, Myanmar) are split into
// their words by ICU's word break rules. A byte that starts no well-formed
// UTF-8 sequence is a character as in 1252, and a word holding one is
// treated as 1252 text is: so an ASCII text, and any text the device took
// in 1252, has the same token text in both forms.
//
// False, with `out` empty, when the stemmer, ICU or the tokenizer ran out of
// memory.
bool TokenizeText(std::string_view text, NarrowForm form, std::string* out);
// The same in the device's form.
bool TokenizeText(std::string_view text, std::string* out);

// Replaces `list` with the words of a space-separated text, in order; runs of
// spaces make no empty words, and "" gives no words. False, with `list`
// empty, when memory ran out.
bool ParseTokenText(std::string_view text, TokenList* list);

// The stemmer: replaces the NUL-terminated lowercase word in place with its
// Porter stem (Snowball "porter", ISO-8859-1) and returns the stem's length;
// the stem is never longer. -1, with the word untouched, when the stemmer ran
// out of memory.
int p_PorterStem(char* word);

// The token text of `text` in the device's form ("" when memory ran out).
std::string TokenTextOf(std::string_view text);
std::string TokenTextOf(std::string_view text, NarrowForm form);

#endif  // TARNVEX_TEXT_TOKENS_H_
