// What the tokenizers of the two narrow forms share: the set of distinct
// stems being gathered, and this thread's stemmers. Inside text/ only.
#ifndef TARNVEX_TEXT_TOKEN_WORDS_H_
#define TARNVEX_TEXT_TOKEN_WORDS_H_

#include <array>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

struct sb_stemmer;

namespace text_words {

// Whether a byte ends a word in code page 1252 (and an ASCII byte or a
// malformed byte in UTF-8). NUL is not in the table: it ends the text.
extern const std::array<bool, 256> kSeparator;

// The distinct stems of one text, kept once each: a stem either lies in the
// text being tokenized (Add) or was made anew (AddMade, owned here).
class Stems {
 public:
  void Add(std::string_view stem) {
    if (!stem.empty() && seen_.insert(stem).second) stems_.push_back(stem);
  }
  void AddMade(std::string stem);
  // The token text: the stems in byte order, each followed by one space.
  std::string Join();

 private:
  std::unordered_set<std::string_view> seen_;
  std::vector<std::string_view> stems_;
  std::deque<std::string> made_;  // a deque: its strings never move
};

// This thread's Porter stemmers (a Snowball stemmer is not safe to share);
// null when one could not be made (no memory).
sb_stemmer* Latin1Stemmer();
sb_stemmer* Utf8Stemmer();

// Replaces the `*length` bytes at `word` with their stem and sets `*length`
// to the stem's (never longer; in UTF-8 never cut inside a character).
// Throws std::bad_alloc when the stemmer ran out of memory.
void StemInPlace(sb_stemmer* stemmer, char* word, size_t* length);

// Code page 1252 (and the malformed words of UTF-8): lowers A-Z and stems
// the word where it stands in `text`, then adds it.
void AddCp1252Word(char* word, size_t length, Stems* stems);

// The words of a UTF-8 text (utf8_words.cpp). `text` is a working copy the
// words may be lowered and stemmed in. Throws std::bad_alloc when memory (or
// ICU) failed.
void AddUtf8Words(std::string* text, Stems* stems);

}  // namespace text_words

#endif  // TARNVEX_TEXT_TOKEN_WORDS_H_
