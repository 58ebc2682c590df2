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

// Turns `text` into its token text in `out`. `text` is consumed: lowercased
// (A-Z only) and cut in place. `out` must hold strlen(text) + 2 bytes. Returns
// false when a fault was raised part way; `out` then holds the stems handled
// so far, unsorted.
bool TokenizeText(char* text, char* out);

// Replaces `list` with the words of a space-separated text, in order; runs of
// spaces make no empty words, and "" gives no words. False, with `list`
// empty, when memory ran out.
bool ParseTokenText(std::string_view text, TokenList* list);

// The stemmer: replaces the NUL-terminated lowercase word in place with its
// Porter stem (Snowball "porter", ISO-8859-1). The stem is never longer.
int p_PorterStem(char* word);

// Convenience for C++ callers: the token text of a copy of `text`.
std::string TokenTextOf(std::string_view text);

#endif  // TARNVEX_TEXT_TOKENS_H_
