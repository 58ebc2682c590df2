// Token texts: the canonical form of a text's words. A token text is the
// distinct lowercase stems of a text in ascending byte order (strcmp order),
// each followed by exactly one space; "" means no tokens. It never holds a
// single or a double quote.
//
// TokenList is the parsed, in-memory form. It owns its words and its array
// (both malloc'ed); FreeTokenList releases them.
#ifndef TARNVEX_TEXT_TOKENS_H_
#define TARNVEX_TEXT_TOKENS_H_

#include <cstdint>
#include <string>
#include <string_view>

struct TokenList {
  char** Words = nullptr;  // Count words from index 0; the slots after are null
  int32_t Count = 0;
};

// Turns `text` into its token text in `out`. `text` is consumed: lowercased
// (A-Z only) and cut in place. `out` must hold strlen(text) + 2 bytes. Returns
// false when a fault was raised part way; `out` then holds the stems handled
// so far, unsorted.
bool TokenizeText(char* text, char* out);

// Splits a space-separated text into `list` (whose old contents are not
// released). A text with S spaces gets an array of S + 1 slots. False, with
// Count 0 and no array, for a null or empty text or when memory ran out
// before the array was made.
bool ParseTokenText(const char* text, TokenList* list);

// Frees the words and the array; Count becomes 0.
void FreeTokenList(TokenList* list);

// The stemmer: replaces the NUL-terminated lowercase word in place with its
// Porter stem (Snowball "porter", ISO-8859-1). The stem is never longer.
int p_PorterStem(char* word);

// Convenience for C++ callers: the token text of a copy of `text`.
std::string TokenTextOf(std::string_view text);

#endif  // TARNVEX_TEXT_TOKENS_H_
