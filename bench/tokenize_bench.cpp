// TokenizeText on 1 MiB of English-like text beside bare libstemmer
// stemming of the same words (the stemmer is most of the work; the rest is
// splitting, sorting and removing repeats).
#include <benchmark/benchmark.h>
#include <libstemmer.h>

#include <cstdio>
#include <cstring>
#include <map>
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
  std::vector<char> in(text.size() + 1), out(text.size() + 2);
  for (auto _ : state) {
    std::memcpy(in.data(), text.c_str(), text.size() + 1);
    TokenizeText(in.data(), out.data());
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

BENCHMARK(BM_TokenizeText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareStemmer)->Unit(benchmark::kMillisecond);

// The console report, plus one closing line with how many times longer a
// TokenizeText run takes than the bare stemming of the same words.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        seconds_per_run_[run.run_name.function_name] =
            run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto tokenize = seconds_per_run_.find("BM_TokenizeText");
    auto stemmer = seconds_per_run_.find("BM_BareStemmer");
    if (tokenize != seconds_per_run_.end() &&
        stemmer != seconds_per_run_.end() && stemmer->second > 0) {
      std::printf("TokenizeText / bare stemmer time ratio: %.2f\n",
                  tokenize->second / stemmer->second);
    }
  }

 private:
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
