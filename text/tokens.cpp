// The tokenizer: a text's words lowered, stemmed by the Snowball Porter
// stemmer, and written once each in byte order as a token text (the words of
// code page 1252 here, those of UTF-8 in utf8_words.cpp); and the parser that
// splits a stored token text into its words again.
#include "text/tokens.h"

#include <libstemmer.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "base/debug.h"
#include "device/codepage.h"
#include "text/ascii.h"
#include "text/token_words.h"

namespace text_words {
namespace {

// The 32 punctuation bytes that split words, besides 0x01..0x20, in the
// order the program has always listed them.
constexpr unsigned char kPunctuation[32] = {
    0x21, 0xA7, 0x24, 0x25, 0x26, 0x2F, 0x28, 0x29, 0x3D, 0x3F, 0x60,
    0x7B, 0x5B, 0x5D, 0x5C, 0xB4, 0x40, 0x2A, 0x2B, 0x7E, 0x27, 0x23,
    0x3E, 0x3C, 0x7C, 0x3B, 0x2C, 0x3A, 0x2E, 0x5F, 0x2D, 0x22};

struct StemmerHolder {
  explicit StemmerHolder(const char* encoding)
      : stemmer(sb_stemmer_new("porter", encoding)) {}
  ~StemmerHolder() {
    if (stemmer != nullptr) sb_stemmer_delete(stemmer);
  }
  sb_stemmer* stemmer;
};

}  // namespace

const std::array<bool, 256> kSeparator = [] {
  std::array<bool, 256> table{};
  for (int c = 0x01; c <= 0x20; ++c) table[c] = true;
  for (unsigned char c : kPunctuation) table[c] = true;
  return table;
}();

void Stems::AddMade(std::string stem) {
  if (stem.empty() || seen_.count(stem) != 0) return;
  made_.push_back(std::move(stem));
  Add(made_.back());
}

std::string Stems::Join() {
  // Byte order, as strcmp has it: string_view compares unsigned bytes.
  std::sort(stems_.begin(), stems_.end());
  size_t size = 0;
  for (std::string_view stem : stems_) size += stem.size() + 1;
  std::string out;
  out.reserve(size);
  for (std::string_view stem : stems_) {
    out.append(stem);
    out.push_back(' ');
  }
  return out;
}

sb_stemmer* Latin1Stemmer() {
  thread_local StemmerHolder holder("ISO_8859_1");
  return holder.stemmer;
}

sb_stemmer* Utf8Stemmer() {
  thread_local StemmerHolder holder("UTF_8");
  return holder.stemmer;
}

void StemInPlace(sb_stemmer* stemmer, char* word, size_t* length) {
  if (stemmer == nullptr) throw std::bad_alloc();
  const sb_symbol* stem =
      sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(word),
                      static_cast<int>(*length));
  if (stem == nullptr) throw std::bad_alloc();
  size_t stem_length = static_cast<size_t>(sb_stemmer_length(stemmer));
  if (stem_length > *length) {  // never longer, never half a character
    stem_length =
        stemmer == Utf8Stemmer()
            ? device::Utf8CharacterCut(
                  std::string_view(reinterpret_cast<const char*>(stem),
                                   stem_length),
                  *length)
            : *length;
  }
  std::memcpy(word, stem, stem_length);
  *length = stem_length;
}

void AddCp1252Word(char* word, size_t length, Stems* stems) {
  for (size_t i = 0; i < length; ++i) word[i] = LowerAsciiChar(word[i]);
  StemInPlace(Latin1Stemmer(), word, &length);
  // A word the stemmer takes whole ("s") adds nothing.
  stems->Add(std::string_view(word, length));
}

}  // namespace text_words

int p_PorterStem(char* word) {
  size_t length = std::strlen(word);
  try {
    text_words::StemInPlace(text_words::Latin1Stemmer(), word, &length);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  word[length] = '\0';
  return static_cast<int>(length);
}

NarrowForm DeviceNarrowForm() {
  return device::AnsiIsUtf8() ? NarrowForm::kUtf8 : NarrowForm::kCp1252;
}

bool TokenizeText(std::string_view text, NarrowForm form, std::string* out) {
  out->clear();
  try {
    // Each word is lowered and stemmed where it stands in a working copy,
    // and each distinct stem is kept once: only the distinct stems are
    // sorted, not every word of the text.
    std::string copy(text.substr(0, text.find('\0')));
    text_words::Stems stems;
    if (form == NarrowForm::kUtf8) {
      text_words::AddUtf8Words(&copy, &stems);
    } else {
      unsigned char* p = reinterpret_cast<unsigned char*>(copy.data());
      for (;;) {
        while (text_words::kSeparator[*p]) ++p;
        if (*p == '\0') break;
        char* word = reinterpret_cast<char*>(p);
        while (*p != '\0' && !text_words::kSeparator[*p]) ++p;
        text_words::AddCp1252Word(
            word, static_cast<size_t>(reinterpret_cast<char*>(p) - word),
            &stems);
      }
    }
    *out = stems.Join();
    return true;
  } catch (const std::bad_alloc&) {
    out->clear();
    base::DebugOut("Text not tokenized: out of memory\n");
    return false;
  }
}

bool TokenizeText(std::string_view text, std::string* out) {
  return TokenizeText(text, DeviceNarrowForm(), out);
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

std::string TokenTextOf(std::string_view text, NarrowForm form) {
  std::string out;
  TokenizeText(text, form, &out);
  return out;
}

std::string TokenTextOf(std::string_view text) {
  return TokenTextOf(text, DeviceNarrowForm());
}
