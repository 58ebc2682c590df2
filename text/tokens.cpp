// The tokenizer: a text's words lowered, stemmed by the Snowball Porter
// stemmer, and written once each in byte order as a token text; and the
// parser that splits a stored token text into its words again.
#include "text/tokens.h"

#include <libstemmer.h>

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <new>
#include <unordered_set>
#include <vector>

#include "device/debug.h"
#include "text/ascii.h"

namespace {

// The 32 punctuation bytes that split words, besides 0x01..0x20, in the
// order the program has always listed them.
constexpr unsigned char kPunctuation[32] = {
    0x21, 0xA7, 0x24, 0x25, 0x26, 0x2F, 0x28, 0x29, 0x3D, 0x3F, 0x60,
    0x7B, 0x5B, 0x5D, 0x5C, 0xB4, 0x40, 0x2A, 0x2B, 0x7E, 0x27, 0x23,
    0x3E, 0x3C, 0x7C, 0x3B, 0x2C, 0x3A, 0x2E, 0x5F, 0x2D, 0x22};

// Whether a byte ends a word. NUL is not in the table: it ends the text.
constexpr std::array<bool, 256> kSeparator = [] {
  std::array<bool, 256> table{};
  for (int c = 0x01; c <= 0x20; ++c) table[c] = true;
  for (unsigned char c : kPunctuation) table[c] = true;
  return table;
}();

// One stemmer per thread: a Snowball stemmer is not safe to share.
struct StemmerHolder {
  sb_stemmer* stemmer = sb_stemmer_new("porter", "ISO_8859_1");
  ~StemmerHolder() {
    if (stemmer != nullptr) sb_stemmer_delete(stemmer);
  }
};

// This thread's stemmer; null when it could not be made (no memory).
sb_stemmer* ThreadStemmer() {
  thread_local StemmerHolder holder;
  return holder.stemmer;
}

// Replaces the `*length` bytes at `word` with their stem and sets `*length`
// to the stem's. False, with the word untouched, when the stemmer ran out of
// memory.
bool StemInPlace(sb_stemmer* stemmer, char* word, size_t* length) {
  const sb_symbol* stem =
      sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(word),
                      static_cast<int>(*length));
  if (stem == nullptr) return false;
  size_t stem_length = static_cast<size_t>(sb_stemmer_length(stemmer));
  if (stem_length > *length) stem_length = *length;  // never longer
  std::memcpy(word, stem, stem_length);
  *length = stem_length;
  return true;
}

}  // namespace

int p_PorterStem(char* word) {
  sb_stemmer* stemmer = ThreadStemmer();
  size_t length = std::strlen(word);
  if (stemmer == nullptr || !StemInPlace(stemmer, word, &length)) return -1;
  word[length] = '\0';
  return static_cast<int>(length);
}

bool TokenizeText(char* text, char* out) {
  out[0] = '\0';
  sb_stemmer* stemmer = ThreadStemmer();
  if (stemmer == nullptr) {
    device::DebugOut("Text not tokenized: no memory for the stemmer\n");
    return false;
  }
  try {
    // Each word is stemmed where it stands (a stem is never longer), and
    // each distinct stem is kept once, as a view of the text: only the
    // distinct stems are sorted, not every word of the text.
    std::unordered_set<std::string_view> seen;
    std::vector<std::string_view> stems;
    unsigned char* p = reinterpret_cast<unsigned char*>(text);
    for (;;) {
      while (kSeparator[*p]) ++p;
      if (*p == '\0') break;
      char* word = reinterpret_cast<char*>(p);
      for (; *p != '\0' && !kSeparator[*p]; ++p)
        *p = static_cast<unsigned char>(LowerAsciiChar(static_cast<char>(*p)));
      size_t length = static_cast<size_t>(reinterpret_cast<char*>(p) - word);
      if (!StemInPlace(stemmer, word, &length)) throw std::bad_alloc();
      if (length == 0) continue;  // a word the stemmer takes whole ("s")
      const std::string_view stem(word, length);
      if (seen.insert(stem).second) stems.push_back(stem);
    }
    // Byte order, as strcmp has it: string_view compares unsigned bytes.
    std::sort(stems.begin(), stems.end());
    [[maybe_unused]] const size_t room =
        static_cast<size_t>(reinterpret_cast<char*>(p) - text) + 2;
    size_t length = 0;
    for (std::string_view stem : stems) {
      assert(length + stem.size() + 1 < room);
      std::memcpy(out + length, stem.data(), stem.size());
      length += stem.size();
      out[length++] = ' ';
    }
    out[length] = '\0';
    return true;
  } catch (const std::bad_alloc&) {
    out[0] = '\0';
    device::DebugOut("Text not tokenized: out of memory\n");
    return false;
  }
}

bool ParseTokenText(std::string_view text, TokenList* list) {
  list->clear();
  try {
    size_t at = 0;
    while ((at = text.find_first_not_of(' ', at)) != std::string_view::npos) {
      size_t end = text.find(' ', at);
      if (end == std::string_view::npos) end = text.size();
      list->emplace_back(text.substr(at, end - at));
      at = end;
    }
    return true;
  } catch (const std::bad_alloc&) {
    list->clear();
    return false;
  }
}

std::string TokenTextOf(std::string_view text) {
  std::string in(text);  // NUL-terminated, and consumed
  std::string out(text.size() + 2, '\0');
  TokenizeText(in.data(), out.data());
  out.resize(std::strlen(out.c_str()));
  return out;
}
