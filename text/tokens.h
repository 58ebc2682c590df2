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

// Turns the NUL-terminated `text` into its token text in `out`. Words are
// the runs between the bytes 0x01..0x20 and the 32 punctuation bytes of
// tokens.cpp; A-Z are lowered (no other byte). `text` is consumed: its words
// are lowered and stemmed in place. `out` must hold strlen(text) + 2 bytes
// and not overlap `text`. False, with `out` empty, when the stemmer or the
// tokenizer ran out of memory.
bool TokenizeText(char* text, char* out);

// Replaces `list` with the words of a space-separated text, in order; runs of
// spaces make no empty words, and "" gives no words. False, with `list`
// empty, when memory ran out.
bool ParseTokenText(std::string_view text, TokenList* list);

// The stemmer: replaces the NUL-terminated lowercase word in place with its
// Porter stem (Snowball "porter", ISO-8859-1) and returns the stem's length;
// the stem is never longer. -1, with the word untouched, when the stemmer ran
// out of memory.
int p_PorterStem(char* word);

// Convenience for C++ callers: the token text of a copy of `text`.
std::string TokenTextOf(std::string_view text);

#endif  // TARNVEX_TEXT_TOKENS_H_
