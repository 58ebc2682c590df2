// TokenizeText on 1 MiB of English-like text, in both narrow forms, beside
// bare libstemmer stemming of the same words (the stemmer is most of the
// work; the rest is splitting, sorting and removing repeats); and on 1 MiB of
// Japanese beside ICU's bare word break iteration over the same text.
#include <benchmark/benchmark.h>
#include <libstemmer.h>
#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "text/tokens.h"

namespace {

const char* const kWords[] = {"the",        "message",  "recipients", "running",
                              "connection", "filtered", "outgoing",   "rules",
                              "covered",    "held",     "released",   "Tarnvex",
                              "phone",      "number",   "0800",       "noon"};

std::string Text() {
  std::mt19937 random(5);
  std::string text;
  while (text.size() < (1u << 20)) {
    text += kWords[random() % (sizeof kWords / sizeof kWords[0])];
    text += (random() % 8 == 0) ? ", " : " ";
  }
  return text;
}

void BM_TokenizeText(benchmark::State& state) {
  const std::string text = Text();
  const NarrowForm form =
      state.range(0) == 0 ? NarrowForm::kUtf8 : NarrowForm::kCp1252;
  std::string out;
  for (auto _ : state) {
    TokenizeText(text, form, &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_BareStemmer(benchmark::State& state) {
  const std::string text = Text();
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(" ,", start);
    if (end == std::string::npos) end = text.size();
    if (end > start) words.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  sb_stemmer* stemmer = sb_stemmer_new("porter", "ISO_8859_1");
  for (auto _ : state) {
    for (const std::string& w : words) {
      const sb_symbol* stem =
          sb_stemmer_stem(stemmer, reinterpret_cast<const sb_symbol*>(w.data()),
                          static_cast<int>(w.size()));
      benchmark::DoNotOptimize(stem);
    }
  }
  sb_stemmer_delete(stemmer);
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}

// Japanese sentences (kanji, kana, their punctuation), 1 MiB of UTF-8.
std::string JapaneseText() {
  static const char* const kSentences[] = {
      "東京で来週の会議があります。",           "メッセージは保留されました、",
      "ルールを追加すると送信されます。",       "宛先を確認してください！",
      "金曜日にリリースパーティーを行います。", "新しい規則が作られた。"};
  std::mt19937 random(7);
  std::string text;
  while (text.size() < (1u << 20))
    text += kSentences[random() % (sizeof kSentences / sizeof kSentences[0])];
  return text;
}

void BM_TokenizeJapanese(benchmark::State& state) {
  const std::string text = JapaneseText();
  std::string out;
  for (auto _ : state) {
    TokenizeText(text, NarrowForm::kUtf8, &out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}

// The yardstick: ICU's word break iterator over the same text, segments
// counted, nothing kept.
void BM_BareWordBreaks(benchmark::State& state) {
  const std::string text = JapaneseText();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
  for (auto _ : state) {
    const icu::UnicodeString wide = icu::UnicodeString::fromUTF8(text);
    breaks->setText(wide);
    int64_t words = 0;
    for (int32_t at = breaks->first(); at != icu::BreakIterator::DONE;
         at = breaks->next())
      ++words;
    benchmark::DoNotOptimize(words);
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * text.size()));
}

// Argument 0: the UTF-8 form (a new device's), 1: code page 1252.
BENCHMARK(BM_TokenizeText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareStemmer)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TokenizeJapanese)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareWordBreaks)->Unit(benchmark::kMillisecond);

// The console report, plus one closing line with how many times longer a
// TokenizeText run takes than the bare stemming of the same words.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        seconds_per_run_[run.benchmark_name()] =
            run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    Ratio("TokenizeText (UTF-8) / bare stemmer", "BM_TokenizeText/0",
          "BM_BareStemmer");
    Ratio("TokenizeText (1252) / bare stemmer", "BM_TokenizeText/1",
          "BM_BareStemmer");
    Ratio("TokenizeText of Japanese / bare ICU word breaks",
          "BM_TokenizeJapanese", "BM_BareWordBreaks");
  }

 private:
  void Ratio(const char* what, const std::string& a, const std::string& b) {
    auto x = seconds_per_run_.find(a);
    auto y = seconds_per_run_.find(b);
    if (x != seconds_per_run_.end() && y != seconds_per_run_.end() &&
        y->second > 0)
      std::printf("%s time ratio: %.2f\n", what, x->second / y->second);
  }

  std::map<std::string, double> seconds_per_run_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
