// The words of a UTF-8 text: split where no letter, mark or digit stands (and
// at ASCII's separator bytes), lowered with Unicode's full case mapping,
// Latin words stemmed, and runs of scripts written without spaces split by
// ICU's word break rules.
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>

#include <memory>
#include <new>
#include <string>

#include "device/codepage.h"
#include "text/token_words.h"

namespace text_words {
namespace {

// What a character does to words.
enum class Role {
  kSeparator,  // ends a word
  kAscii,      // an ASCII byte of a word
  kMalformed,  // a byte that starts no well-formed sequence: a 1252 character
  kLetter,     // a letter or digit of any script: starts or continues a word
  kJoiner,     // a mark, or a zero-width (non-)joiner: only inside a word
};

struct Character {
  Role role;
  size_t length;  // bytes
  UChar32 code;   // for kLetter and kJoiner
};

Character Read(const std::string& text, size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80)
    return {kSeparator[lead] ? Role::kSeparator : Role::kAscii, 1, lead};
  size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (n == 0 || at + n > text.size() ||
      !device::ValidUtf8(std::string_view(text).substr(at, n))) {
    return {kSeparator[lead] ? Role::kSeparator : Role::kMalformed, 1, lead};
  }
  UChar32 code = lead & (0x7F >> n);
  for (size_t k = 1; k < n; ++k)
    code = (code << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  const uint32_t category = U_GET_GC_MASK(code);
  if (category & (U_GC_L_MASK | U_GC_N_MASK)) return {Role::kLetter, n, code};
  if ((category & U_GC_M_MASK) || code == 0x200C || code == 0x200D)
    return {Role::kJoiner, n, code};
  // Punctuation, symbols (emoji among them), spaces and U+00A7 and U+00B4,
  // which split words in code page 1252 too.
  return {Role::kSeparator, n, code};
}

UScriptCode ScriptOf(UChar32 code) {
  UErrorCode status = U_ZERO_ERROR;
  UScriptCode script = uscript_getScript(code, &status);
  return U_SUCCESS(status) ? script : USCRIPT_UNKNOWN;
}

// Scripts written without spaces between words.
bool WrittenWithoutSpaces(UScriptCode script) {
  return script == USCRIPT_HAN || script == USCRIPT_HIRAGANA ||
         script == USCRIPT_KATAKANA || script == USCRIPT_THAI ||
         script == USCRIPT_LAO || script == USCRIPT_KHMER ||
         script == USCRIPT_MYANMAR;
}

// The Porter stemmer is made for English: words of Latin letters (digits and
// combining marks belong to every script).
bool StemmerIsFor(UScriptCode script) {
  return script == USCRIPT_LATIN || script == USCRIPT_COMMON ||
         script == USCRIPT_INHERITED;
}

bool LatinOnly(const icu::UnicodeString& word) {
  for (int32_t i = 0; i < word.length(); i = word.moveIndex32(i, 1))
    if (!StemmerIsFor(ScriptOf(word.char32At(i)))) return false;
  return true;
}

void AddLowered(const icu::UnicodeString& lowered, Stems* stems) {
  std::string word;
  lowered.toUTF8String(word);
  if (LatinOnly(lowered)) {
    size_t length = word.size();
    StemInPlace(Utf8Stemmer(), word.data(), &length);
    word.resize(length);
  }
  stems->AddMade(std::move(word));
}

// This thread's word break iterator (root rules: the dictionaries of
// Chinese, Japanese, Thai, Lao, Khmer and Myanmar come with them).
icu::BreakIterator& WordBreaks() {
  thread_local std::unique_ptr<icu::BreakIterator> breaks;
  if (breaks == nullptr) {
    UErrorCode status = U_ZERO_ERROR;
    breaks.reset(
        icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || breaks == nullptr) {
      breaks.reset();
      throw std::bad_alloc();
    }
  }
  return *breaks;
}

void AddSegmented(const icu::UnicodeString& lowered, Stems* stems) {
  icu::BreakIterator& breaks = WordBreaks();
  breaks.setText(lowered);
  int32_t start = breaks.first();
  for (int32_t end = breaks.next(); end != icu::BreakIterator::DONE;
       start = end, end = breaks.next()) {
    // Words of letters, digits, kana or ideographs; not the spans between.
    if (breaks.getRuleStatus() < UBRK_WORD_NONE_LIMIT) continue;
    AddLowered(lowered.tempSubStringBetween(start, end), stems);
  }
}

void AddWord(std::string* text, size_t start, size_t end, bool ascii_or_1252,
             bool unspaced, Stems* stems) {
  if (ascii_or_1252) {
    AddCp1252Word(text->data() + start, end - start, stems);
    return;
  }
  icu::UnicodeString word = icu::UnicodeString::fromUTF8(icu::StringPiece(
      text->data() + start, static_cast<int32_t>(end - start)));
  word.toLower(icu::Locale::getRoot());
  if (word.isBogus()) throw std::bad_alloc();
  if (unspaced) {
    AddSegmented(word, stems);
  } else {
    AddLowered(word, stems);
  }
}

}  // namespace

void AddUtf8Words(std::string* text, Stems* stems) {
  const size_t size = text->size();
  size_t at = 0;
  while (at < size) {
    Character c = Read(*text, at);
    if (c.role == Role::kSeparator || c.role == Role::kJoiner) {
      at += c.length;  // a mark with no word before it belongs to none
      continue;
    }
    const size_t start = at;
    size_t end = at;  // after the last letter, mark or byte of the word
    bool ascii_or_1252 = true, malformed = false, unspaced = false;
    for (; at < size; at += c.length) {
      c = Read(*text, at);
      if (c.role == Role::kSeparator) break;
      if (c.role == Role::kMalformed) malformed = true;
      if (c.role == Role::kLetter || c.role == Role::kJoiner) {
        ascii_or_1252 = false;
        if (WrittenWithoutSpaces(ScriptOf(c.code))) unspaced = true;
      }
      // Zero-width joiners at the end belong to no word.
      if (!(c.role == Role::kJoiner && (c.code == 0x200C || c.code == 0x200D)))
        end = at + c.length;
    }
    // A word with a malformed byte is 1252 text: taken as 1252 takes it.
    AddWord(text, start, end, ascii_or_1252 || malformed, unspaced, stems);
  }
}

}  // namespace text_words
