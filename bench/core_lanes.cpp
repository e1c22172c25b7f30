// Side-by-side timings of the batch distance engines: the candidate-by-candidate
// word step against the lane engine, Levenshtein against OSA, on short words and
// on long texts, and two threads against one; and the kernels one pair a call.
// Prints ratios; absolute times on a shared machine drift.
//
// Build: cmake -S . -B build/bench -DQUILLMATCH_BUILD_MODULE=OFF -DQUILLMATCH_BUILD_BENCH=ON
//        cmake --build build/bench --target core_lanes && build/bench/bench/core_lanes
#include <time.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cpu_time.h"
#include "batch/distance_batch.h"

namespace {

using namespace quillmatch;
std::string random_word(std::mt19937& rng, std::size_t min_len, std::size_t max_len) {
  std::uniform_int_distribution<std::size_t> len(min_len, max_len);
  std::uniform_int_distribution<int> letter('a', 'z');
  std::string s(len(rng), ' ');
  for (char& c : s) c = static_cast<char>(letter(rng));
  return s;
}

std::uint64_t sink = 0;

// The scorer over the whole list in chunks of `chunk` candidates.
double time_scorer(const DistanceScorer& scorer, const std::vector<TextView>& views,
                   std::size_t chunk, int rounds) {
  std::vector<std::uint64_t> out(views.size());
  return best_ns(views.size(), rounds, [&] {
    for (std::size_t i = 0; i < views.size(); i += chunk) {
      const std::size_t n = std::min(chunk, views.size() - i);
      scorer.score(std::span(views).subspan(i, n), std::span(out).subspan(i, n));
    }
    sink += out[views.size() / 2];
  });
}

// The same candidates through the word step, one candidate at a time.
template <class Word, auto kernel>
double time_words(std::string_view query, const std::vector<TextView>& views, int rounds) {
  const PreparedQuery prepared(query, false);
  std::vector<std::uint64_t> out(views.size());
  return best_ns(views.size(), rounds, [&] {
    score_chunk<Word, kernel>(prepared, views, out);
    sink += out[views.size() / 2];
  });
}

// One pair per call, as the scalar functions run: the kernels on 13-letter
// pairs and on two one-letter texts. The difference is what twelve more
// column steps cost: a single text's scan waits on each step's loop-carried
// chain, not on the number of operations.
void short_pairs() {
  std::mt19937 rng(4);
  std::vector<std::string> a, b;
  for (int k = 0; k < 1000; ++k) {
    a.push_back(random_word(rng, 13, 13));
    b.push_back(random_word(rng, 13, 13));
  }
  const std::string x = "a", y = "b";
  auto per_call = [&](auto kernel, bool one_letter) {
    return best_ns(a.size() * 100, 15, [&] {
      for (int r = 0; r < 100; ++r)
        for (std::size_t k = 0; k < a.size(); ++k)
          sink += kernel(one_letter ? x : a[k], one_letter ? y : b[k], std::nullopt, false,
                         std::nullopt).value();
    });
  };
  std::printf("pairs, one per call (ns): levenshtein_bp 13 letters %.1f, 1 letter %.1f;"
              " damerau_bp 13 letters %.1f\n",
              per_call(levenshtein_bp, false), per_call(levenshtein_bp, true),
              per_call(damerau_bp, false));
}

void short_words() {
  std::mt19937 rng(1);
  std::vector<std::string> words;
  for (int k = 0; k < 1'000'000; ++k) words.push_back(random_word(rng, 5, 20));
  const std::vector<TextView> views(words.begin(), words.end());
  const std::string query = random_word(rng, 10, 10);
  const int rounds = 3;

  const double len_ns = best_ns(views.size(), rounds, [&] {
    std::uint64_t total = 0;
    for (const TextView& v : views) total += count_code_points(v.view());
    sink += total;
  });
  const double lev_word = time_words<LevenshteinWord, levenshtein_bp>(query, views, rounds);
  const double osa_word = time_words<OsaWord, damerau_bp>(query, views, rounds);
  const auto lev = DistanceScorer::levenshtein(query, false);
  const auto osa = DistanceScorer::damerau(query, false);
  const double lev_lanes = time_scorer(lev, views, 256, rounds);
  const double osa_lanes = time_scorer(osa, views, 256, rounds);
  const double lev_whole = time_scorer(lev, views, views.size(), rounds);
  const double osa_whole = time_scorer(osa, views, views.size(), rounds);

  std::printf("1M words of 5-20 letters, 10-letter query (ns per candidate)\n");
  std::printf("  code-point count        %6.1f\n", len_ns);
  std::printf("  levenshtein  word %6.1f  lanes/256 %6.1f  lanes/all %6.1f  word/lanes %.2fx\n",
              lev_word, lev_lanes, lev_whole, lev_word / lev_lanes);
  std::printf("  osa          word %6.1f  lanes/256 %6.1f  lanes/all %6.1f  word/lanes %.2fx\n",
              osa_word, osa_lanes, osa_whole, osa_word / osa_lanes);
  std::printf("  osa/levenshtein lanes %.2fx   lanes/count %.2fx\n", osa_lanes / lev_lanes,
              lev_lanes / len_ns);
}

void long_texts() {
  std::mt19937 rng(2);
  const std::size_t count = 200;
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < count; ++k) texts.push_back(random_word(rng, 1000, 1000));
  const std::vector<TextView> views(texts.begin(), texts.end());
  const std::string query = random_word(rng, 1000, 1000);
  const std::string short_query = random_word(rng, 10, 10);
  const int rounds = 15;

  auto kernel_ns = [&](auto kernel, const std::string& q) {
    return best_ns(count, rounds, [&] {
      for (const TextView& v : views)
        sink += kernel(q, v, std::nullopt, false, std::nullopt).value();
    });
  };
  auto batch_ns = [&](const DistanceScorer& scorer) {
    return time_scorer(scorer, views, count, rounds);
  };
  // The two kernels in turn, best of each: drift on a shared machine then hits
  // both alike.
  double lev_bp = 1e300, osa_bp = 1e300;
  for (int r = 0; r < 4; ++r) {
    lev_bp = std::min(lev_bp, kernel_ns(levenshtein_bp, query));
    osa_bp = std::min(osa_bp, kernel_ns(damerau_bp, query));
  }
  const double lev_batch = batch_ns(DistanceScorer::levenshtein(query, false));
  const double osa_batch = batch_ns(DistanceScorer::damerau(query, false));
  const double lev_short_word =
      time_words<LevenshteinWord, levenshtein_bp>(short_query, views, rounds);
  const double lev_short = batch_ns(DistanceScorer::levenshtein(short_query, false));

  std::printf("200 texts of 1000 letters (us per candidate)\n");
  std::printf("  1000-letter query  levenshtein_bp %7.2f  damerau_bp %7.2f  osa/lev %.2fx\n",
              lev_bp / 1e3, osa_bp / 1e3, osa_bp / lev_bp);
  std::printf("  1000-letter query  lev batch %7.2f  osa batch %7.2f  bp/batch %.2fx"
              "  osa/lev %.2fx\n",
              lev_batch / 1e3, osa_batch / 1e3, lev_bp / lev_batch, osa_batch / lev_batch);
  std::printf("  10-letter query    lev word %7.2f  lev lanes %7.2f  word/lanes %.2fx\n",
              lev_short_word / 1e3, lev_short / 1e3, lev_short_word / lev_short);
}

// The block scans with their column sized at compile time (what the kernels run
// for 2 to 4 words) against the same scans sized at run time.
template <template <std::size_t> class Block, std::size_t kWords>
double block_ratio(const std::string& query, const std::vector<std::string>& texts) {
  const BlockMasks masks(decode_utf8(query));
  auto run = [&]<class Scan>() {
    return best_ns(texts.size(), 15, [&] {
      for (const std::string& t : texts) {
        Scan scan(query.size());
        for (unsigned char b : t) scan.step(masks.row(b));
        sink += scan.score;
      }
    });
  };
  return run.template operator()<Block<kAnyWords>>() / run.template operator()<Block<kWords>>();
}

void fixed_blocks() {
  std::mt19937 rng(3);
  std::printf("block scans, run-time words / compile-time words\n");
  auto texts = [&](std::size_t n) {
    std::vector<std::string> out;
    for (int k = 0; k < 300; ++k) out.push_back(random_word(rng, n, n));
    return out;
  };
  const std::string q2 = random_word(rng, 128, 128), q4 = random_word(rng, 250, 250);
  const auto t2 = texts(128), t4 = texts(250);
  std::printf("  128 letters  levenshtein %.2fx  osa %.2fx\n",
              block_ratio<LevenshteinBlock, 2>(q2, t2), block_ratio<OsaBlock, 2>(q2, t2));
  std::printf("  250 letters  levenshtein %.2fx  osa %.2fx\n",
              block_ratio<LevenshteinBlock, 4>(q4, t4), block_ratio<OsaBlock, 4>(q4, t4));
}

}  // namespace

// Two threads, each scoring its own 10 000 texts of 1 000 letters against a
// 10-letter query, against one thread scoring both sets, in wall time. Once
// with each thread scoring its set several times in a row, once with a fresh
// pair of threads per set: on a virtual machine, waking an idle processor to
// start a thread can take a millisecond, which a batch of a few milliseconds
// feels. The engines share nothing, so the first figure shows what the
// hardware allows.
void two_threads() {
  std::mt19937 rng(3);
  std::vector<std::string> texts[2];
  std::vector<TextView> views[2];
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < 10000; ++i) texts[k].push_back(random_word(rng, 1000, 1000));
    views[k].assign(texts[k].begin(), texts[k].end());
  }
  const DistanceScorer scorer = DistanceScorer::levenshtein(random_word(rng, 10, 10), false);
  const int rounds = 8;
  auto score = [&](int k) {
    std::vector<std::uint64_t> out(views[k].size());
    scorer.score(views[k], out);
    sink += out[0];
  };
  auto wall_ms = [](auto&& f) {
    double best = 1e300;
    for (int r = 0; r < 3; ++r) {
      const auto t0 = std::chrono::steady_clock::now();
      f();
      best = std::min(best, std::chrono::duration<double, std::milli>(
                                std::chrono::steady_clock::now() - t0).count());
    }
    return best;
  };
  const double one = wall_ms([&] {
    for (int r = 0; r < rounds; ++r) score(0), score(1);
  });
  const double two = wall_ms([&] {
    std::thread a([&] { for (int r = 0; r < rounds; ++r) score(0); });
    std::thread b([&] { for (int r = 0; r < rounds; ++r) score(1); });
    a.join();
    b.join();
  });
  const double fresh = wall_ms([&] {
    for (int r = 0; r < rounds; ++r) {
      std::thread a(score, 0), b(score, 1);
      a.join();
      b.join();
    }
  });
  std::printf("two threads, 10 000 texts of 1000 letters each, 10-letter query (wall time)\n");
  std::printf("  speed-up over one thread: %.2fx in a row, %.2fx with fresh threads per set\n",
              one / two, one / fresh);
}

int main() {
  short_pairs();
  short_words();
  long_texts();
  fixed_blocks();
  two_threads();
  return sink == 42 ? 1 : 0;
}
