#include "text/tokens.h"

#include <libstemmer.h>

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>
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

// Builds the delimiter set (64 bytes and the NUL in a 256-byte buffer) and
// its lookup table.
void BuildDelimiters(bool table[256]) {
  char set[256] = {};
  int n = 0;
  for (int c = 0x01; c <= 0x20; ++c) set[n++] = static_cast<char>(c);
  for (unsigned char c : kPunctuation) set[n++] = static_cast<char>(c);
  set[n] = '\0';
  std::memset(table, 0, 256 * sizeof(bool));
  for (int i = 0; i < n; ++i) table[static_cast<unsigned char>(set[i])] = true;
}

// One stemmer per thread: a Snowball stemmer is not safe to share.
struct StemmerHolder {
  sb_stemmer* stemmer = sb_stemmer_new("porter", "ISO_8859_1");
  ~StemmerHolder() {
    if (stemmer != nullptr) sb_stemmer_delete(stemmer);
  }
};

}  // namespace

int p_PorterStem(char* word) {
  thread_local StemmerHolder holder;
  if (holder.stemmer == nullptr) throw std::bad_alloc();
  size_t len = std::strlen(word);
  const sb_symbol* stem =
      sb_stemmer_stem(holder.stemmer, reinterpret_cast<const sb_symbol*>(word),
                      static_cast<int>(len));
  if (stem == nullptr) throw std::bad_alloc();  // the stemmer ran out of memory
  size_t stem_len = static_cast<size_t>(sb_stemmer_length(holder.stemmer));
  if (stem_len > len) stem_len = len;  // never longer than the word
  std::memcpy(word, stem, stem_len);
  word[stem_len] = '\0';
  return static_cast<int>(stem_len);
}

bool TokenizeText(char* text, char* out) {
  LowerAsciiInPlace(text);
  // Every word is written with one space after it and no longer than it was
  // in the text, where a delimiter or the end followed it.
  [[maybe_unused]] const size_t out_size = std::strlen(text) + 2;
  bool delim[256];
  BuildDelimiters(delim);
  out[0] = '\0';
  size_t out_len = 0;
  try {
    char* p = text;
    while (*p != '\0') {
      while (*p != '\0' && delim[static_cast<unsigned char>(*p)]) ++p;
      if (*p == '\0') break;
      char* word = p;
      while (*p != '\0' && !delim[static_cast<unsigned char>(*p)]) ++p;
      bool last = *p == '\0';
      *p = '\0';
      p_PorterStem(word);
      size_t n = std::strlen(word);
      assert(out_len + n + 1 < out_size);
      std::memcpy(out + out_len, word, n);
      out_len += n;
      out[out_len++] = ' ';
      out[out_len] = '\0';
      if (!last) ++p;
    }
  } catch (...) {
    device::DebugOut("Text not tokenized: the stemmer ran out of memory\n");
    return false;
  }

  TokenList list;
  if (!ParseTokenText(out, &list) || list.empty()) {
    out[0] = '\0';  // nothing but spaces, or no memory for the list
    return true;
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  out_len = 0;
  for (const std::string& word : list) {
    assert(out_len + word.size() + 1 < out_size);
    std::memcpy(out + out_len, word.data(), word.size());
    out_len += word.size();
    out[out_len++] = ' ';
  }
  out[out_len] = '\0';
  return true;
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
  std::vector<char> in(text.begin(), text.end());
  in.push_back('\0');
  std::vector<char> out(text.size() + 2, '\0');
  TokenizeText(in.data(), out.data());
  return std::string(out.data());
}
