#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "search/count/reach_count.h"
#include "search/count/table_count.h"
#include "search/shared/threads.h"
#include "test_util.h"

using namespace anagram;

// Failures show counts as numbers.
void PrintTo(const BigUnsigned& value, std::ostream* out) { *out << value.to_decimal(); }

namespace {

CharCounts counts_of(std::string_view text) { return std::get<CharCounts>(CharCounts::from_str(text)); }

AnagramClass make_class(std::string_view letters, uint64_t words) {
  const CharCounts counts = counts_of(letters);
  return {counts, counts.total(), words};
}

BigUnsigned big(std::string_view decimal) { return *BigUnsigned::from_decimal(decimal); }

BigUnsigned count_of(std::string_view phrase, const std::vector<AnagramClass>& classes,
                     std::optional<uint32_t> max_words = std::nullopt) {
  CountLimits limits;
  limits.max_words = max_words;
  const CountResult result = count_anagrams(counts_of(phrase), classes, limits);
  EXPECT_EQ(result.status, SearchStatus::kCompleted);
  EXPECT_FALSE(result.too_large);
  // The count over reached states, every letter expanded state by state (a
  // dense part or tail would take its classes' trillions of words one by one), on
  // one thread and on three, gives the same number or refuses a class whose
  // word choices pass 64 bits.
  // Then with a tail of a letter or two where no class has too many words
  // (the tail's classes are dense steps, one per word).
  uint64_t most_words = 0;
  for (const AnagramClass& c : classes) most_words = std::max(most_words, c.words);
  for (const unsigned threads : {1u, 3u}) {
    for (const uint32_t tail : {1u, 16u}) {
      if (tail > 1 && most_words > 100000) continue;
      limits.sparse_letters = 26;
      limits.tail_cells = tail;
      limits.threads = threads;
      const CountResult reached = count_reachable(counts_of(phrase), classes, limits);
      EXPECT_TRUE(reached.too_large || reached.count == result.count) << phrase << " " << threads << " " << tail;
    }
  }
  return result.count;
}

// Counts non-decreasing sequences of items (each item one word) that use up
// `rest` exactly: the word multisets, found one by one.
uint64_t brute_force(const std::vector<CharCounts>& items, size_t first, CharCounts& rest, uint32_t words_left) {
  if (rest.is_empty()) return 1;
  if (words_left == 0) return 0;
  uint64_t found = 0;
  for (size_t i = first; i < items.size(); ++i) {
    if (!rest.can_subtract(items[i])) continue;
    for (int s = 0; s < 26; ++s) rest.counts[s] -= items[i].counts[s];
    found += brute_force(items, i, rest, words_left - 1);
    for (int s = 0; s < 26; ++s) rest.counts[s] += items[i].counts[s];
  }
  return found;
}

// Over random small dictionaries (with anagrams among their words, so
// classes of several words) the program must count exactly the word
// multisets a one-by-one enumeration finds, with and without a word limit.
TEST(CountAnagrams, AgreesWithEnumerationOfWordMultisets) {
  std::mt19937 rng(2024);
  const std::string alphabet = "aabcdeeilnorst";
  int nonzero = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> dictionary;
    // Every tenth round is larger, so that several letters leave the table.
    const bool large = round % 10 == 9;
    const int size = 1 + static_cast<int>(rng() % (large ? 60 : 20));
    for (int i = 0; i < size; ++i) {
      std::string word = test_util::random_word(rng, round % 2 ? "abc" : alphabet, large ? 5 : 4);
      if (std::find(dictionary.begin(), dictionary.end(), word) == dictionary.end()) dictionary.push_back(word);
    }
    const CharCounts phrase = counts_of(test_util::random_word(rng, round % 2 ? "aabbc" : alphabet, large ? 16 : 11));
    std::vector<std::string_view> candidates;
    std::vector<CharCounts> items;
    for (const std::string& word : dictionary) {
      // Words that do not fit stay in half the rounds: the count must skip them.
      if (!phrase.can_subtract(counts_of(word)) && round % 4 < 2) continue;
      candidates.push_back(word);
      items.push_back(counts_of(word));
    }
    CountLimits limits;
    if (rng() % 2) limits.max_words = static_cast<uint32_t>(rng() % 6);
    CharCounts rest = phrase;
    const uint64_t expected = brute_force(items, 0, rest, limits.max_words.value_or(UINT32_MAX));
    const std::vector<AnagramClass> classes = group_into_classes(candidates);
    const CountResult result = count_anagrams(phrase, classes, limits);
    ASSERT_TRUE(result.status == SearchStatus::kCompleted && !result.too_large);
    ASSERT_EQ(result.count, BigUnsigned(expected)) << "round " << round;
    // The count over reached states, all of them expanded one by one, part
    // dense, on one thread and on three.
    // With no tail, or the commonest letters held as each state's tail.
    for (const int sparse : {0, 1, 3, 26}) {
      CountLimits reach = limits;
      reach.sparse_letters = sparse;
      reach.threads = 1 + 2 * (round % 3 == 0);
      reach.tail_cells = round % 4 < 2 ? 1 : 16 << (round % 3);
      const CountResult reached = count_reachable(phrase, classes, reach);
      ASSERT_TRUE(reached.status == SearchStatus::kCompleted && !reached.too_large);
      ASSERT_EQ(reached.count, BigUnsigned(expected))
          << "round " << round << " sparse " << sparse << " tail " << reach.tail_cells;
    }
    nonzero += expected > 0;
  }
  EXPECT_GT(nonzero, 600);  // the rounds must not be mostly trivial
}

// A class of c words used m times stands for C(c+m-1, m) multisets; classes
// given directly, with many words, push the count far beyond 64 and 128 bits.
// The expected values come from the closed formulas, evaluated elsewhere.
TEST(CountAnagrams, ExactBeyondSixtyFourBits) {
  // C(100049, 50), 616 bits.
  EXPECT_EQ(count_of("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", {make_class("a", 100000)}),
            big("332846778038037767139285114803829861973238748511643429077466932848643088764411293887104597444127833873"
                "289590121544428732986589842388764101012290318854345898978891676300245295235914252000"));
  // C(65540, 5), 74 bits.
  EXPECT_EQ(count_of("aaaaa", {make_class("a", 65536)}), big("10075919140893376708608"));
  // a (1000 words), b (70), ab (300) over a^12 b^9: sum over j uses of ab of
  // C(299+j, j) C(999+12-j, 12-j) C(69+9-j, 9-j), 129 bits.
  const std::vector<AnagramClass> three = {make_class("a", 1000), make_class("b", 70), make_class("ab", 300)};
  EXPECT_EQ(count_of("aaaaaaaaaaaabbbbbbbbb", three), big("604854346861413421655014286374082362500"));
  // a (5000), aa (4000) over a^30 with at most 20 words, 199 bits.
  const std::vector<AnagramClass> two = {make_class("a", 5000), make_class("aa", 4000)};
  const std::string thirty(30, 'a');
  EXPECT_EQ(count_of(thirty, two, 20),
            big("794566205476855189702849997844480049971816334476626040853600"));
  // The limit at and just below the fewest words possible: 15 times aa.
  EXPECT_EQ(count_of(thirty, two, 14), BigUnsigned(0));
  EXPECT_EQ(count_of(thirty, two, 15), big("842920737673508906783796317430887755653600"));  // C(4014, 15)
  // Letters the phrase holds once, in classes of 2^40 and 2^50 words:
  // 2^80 (2^40 C(12, 10) + 2^50 C(11, 9)).
  const std::vector<AnagramClass> huge = {make_class("x", uint64_t{1} << 40), make_class("ax", uint64_t{1} << 50),
                                          make_class("y", uint64_t{1} << 40), make_class("z", uint64_t{1} << 40),
                                          make_class("a", 3)};
  EXPECT_EQ(count_of("xyz aaaaaaaaaa", huge), big("74949849770328266409554064900967509262336"));
  EXPECT_EQ(count_of("xyz aaaaaaaaaa", huge, 3), BigUnsigned(0));
  // x, y and z leave the table; only the a's remain.
  EXPECT_EQ(count_anagrams(counts_of("xyz aaaaaaaaaa"), huge).states, 11u);
}

// Phrases of many distinct letters, the kind whose dense table passes its
// cap: the count over reached states, split anywhere between sparse and
// dense, on one thread or three, and the dense table on several threads,
// agree with the dense table on one.
TEST(CountAnagrams, ReachedStatesAgreeWithDenseTable) {
  std::mt19937 rng(77);
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyzaeiou";
  for (int round = 0; round < 60; ++round) {
    std::vector<std::string> dictionary;
    for (int i = 0; i < 400; ++i) dictionary.push_back(test_util::random_word(rng, alphabet, 4));
    std::sort(dictionary.begin(), dictionary.end());
    dictionary.erase(std::unique(dictionary.begin(), dictionary.end()), dictionary.end());
    const std::vector<std::string_view> views(dictionary.begin(), dictionary.end());
    const std::vector<AnagramClass> classes = group_into_classes(views);
    const CharCounts phrase = counts_of(test_util::random_word(rng, alphabet, 22));
    CountLimits limits;
    if (round % 3 == 1) limits.max_words = 2 + static_cast<uint32_t>(rng() % 6);
    limits.max_reach_bytes = 0;
    const CountResult dense = count_anagrams(phrase, classes, limits);
    ASSERT_TRUE(dense.status == SearchStatus::kCompleted && !dense.too_large);
    // The dense table with its steps in stages split on every free dim, or
    // on dims until slabs of 64 cells, on 1-3 threads: the default
    // splits tables of this size on one dim at most.
    CountLimits shared = limits;
    shared.threads = 1 + round % 3;
    shared.min_split_cells = round % 4 < 2 ? 0 : 64;
    shared.slab_cells = round % 5 < 2 ? 0 : 64;
    EXPECT_EQ(count_anagrams(phrase, classes, shared).count, dense.count) << "round " << round;
    limits.max_reach_bytes = size_t{1} << 30;
    // Dense from wherever it costs less (nullopt), or from a given letter.
    // Each with no tail, a tail of a few letters, or the default.
    for (const std::optional<int> sparse : {std::optional<int>(), std::optional<int>(0), std::optional<int>(2),
                                            std::optional<int>(5), std::optional<int>(9), std::optional<int>(26)}) {
      for (const uint32_t tail : {1u, 16u, 200u, CountLimits{}.tail_cells}) {
        limits.sparse_letters = sparse;
        limits.threads = 1 + (sparse.value_or(1) + tail) % 3;
        limits.tail_cells = tail;
        const CountResult reached = count_reachable(phrase, classes, limits);
        ASSERT_TRUE(reached.status == SearchStatus::kCompleted && !reached.too_large);
        ASSERT_EQ(reached.count, dense.count)
            << "round " << round << " sparse " << sparse.value_or(-1) << " tail " << tail;
      }
    }
  }
}

TEST(CountAnagrams, TrivialRequests) {
  const std::vector<AnagramClass> classes = {make_class("ab", 2), make_class("c", 1), make_class("zz", 5)};
  EXPECT_EQ(count_of("abc", classes), BigUnsigned(2));
  EXPECT_EQ(count_of("", classes), BigUnsigned(0));         // no letters, no solution
  EXPECT_EQ(count_of("abc", classes, 0), BigUnsigned(0));   // no word allowed
  EXPECT_EQ(count_of("abc", classes, 1), BigUnsigned(0));   // needs two words
  EXPECT_EQ(count_of("abcd", classes), BigUnsigned(0));     // d is in no class
  EXPECT_EQ(count_of("abc", {make_class("ab", 0), make_class("c", 1)}), BigUnsigned(0));
  EXPECT_EQ(count_of("aaaa", {make_class("aa", 3), make_class("", 4)}), BigUnsigned(6));
}

TEST(CountAnagrams, StopsOnPollDeadlineAndSize) {
  const std::string phrase(400000, 'a');
  const std::vector<AnagramClass> classes = {make_class("a", 3), make_class("aaa", 2)};
  // The poll is asked once before the count, then every so many updates.
  int polls = 0;
  const StopCondition polled{std::chrono::steady_clock::now(), std::nullopt,
                             {[](void* context) { return ++*static_cast<int*>(context) == 3; }, &polls}};
  StopWatch poll_watch(polled);
  CountLimits limits;
  limits.watch = &poll_watch;
  EXPECT_EQ(count_anagrams(counts_of(phrase), classes, limits).status, SearchStatus::kCancelled);
  EXPECT_EQ(polls, 3);
  // A table whose stages split among threads: the calling thread polls, and
  // the helpers stop with it.
  const std::string three = std::string(100, 'a') + std::string(100, 'b') + std::string(100, 'c');
  const std::vector<AnagramClass> mixed = {make_class("a", 3), make_class("b", 3), make_class("c", 3),
                                           make_class("ab", 2), make_class("bc", 2)};
  for (const unsigned threads : {1u, 2u, 3u}) {
    polls = 0;
    StopWatch again(polled);
    CountLimits shared;
    shared.watch = &again;
    shared.threads = threads;
    shared.max_reach_bytes = 0;
    EXPECT_EQ(count_anagrams(counts_of(three), mixed, shared).status, SearchStatus::kCancelled) << threads;
    EXPECT_EQ(polls, 3) << threads;
  }

  const StopCondition expired{std::chrono::steady_clock::now(), -1.0, {}};
  StopWatch expired_watch(expired);
  CountLimits late;
  late.watch = &expired_watch;
  EXPECT_EQ(count_anagrams(counts_of(phrase), classes, late).status, SearchStatus::kTimeLimit);
  // A limit that passes while counting: the poll after the first look outlasts it.
  int looks = 0;
  const StopCondition slow{std::chrono::steady_clock::now(), 0.001,
                           {[](void* context) {
                              if (++*static_cast<int*>(context) > 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                              return false;
                            },
                            &looks}};
  StopWatch slow_watch(slow);
  late.watch = &slow_watch;
  EXPECT_EQ(count_anagrams(counts_of(phrase), classes, late).status, SearchStatus::kTimeLimit);

  CountLimits small;
  small.max_reach_bytes = 0;           // the dense table alone
  small.max_table_bytes = 400000 * 8;  // one state short
  const CountResult refused = count_anagrams(counts_of(phrase), classes, small);
  EXPECT_TRUE(refused.too_large);
  EXPECT_EQ(refused.states, 400001u);
  small.max_table_bytes += 8;
  const CountResult fits = count_anagrams(counts_of(phrase), classes, small);
  EXPECT_TRUE(fits.status == SearchStatus::kCompleted && !fits.too_large);
  small.max_words = 200000;  // a word-count dimension multiplies the table
  EXPECT_TRUE(count_anagrams(counts_of(phrase), classes, small).too_large);
}

TEST(BigUnsigned, ArithmeticAgreesWithBuiltinAndTextForms) {
  using u128 = unsigned __int128;
  std::mt19937_64 rng(7);
  const auto of_u128 = [](u128 v) {
    BigUnsigned r(static_cast<uint64_t>(v >> 64));
    r *= uint64_t{1} << 32;
    r *= uint64_t{1} << 32;
    return r += static_cast<uint64_t>(v);
  };
  for (int i = 0; i < 2000; ++i) {
    const uint64_t a = rng() >> (rng() % 64), b = rng() >> (rng() % 64);
    const uint64_t d = (rng() >> (rng() % 64)) | 1;
    EXPECT_EQ(BigUnsigned(a) + BigUnsigned(b), of_u128(u128{a} + b));
    EXPECT_EQ(BigUnsigned(a) * BigUnsigned(b), of_u128(u128{a} * b));
    BigUnsigned product(a);
    product *= b;
    EXPECT_EQ(product, of_u128(u128{a} * b));
    EXPECT_EQ(BigUnsigned(a) < BigUnsigned(b), a < b);
    const u128 wide = u128{a} * b + (rng() % d);
    BigUnsigned quotient = of_u128(wide);
    EXPECT_EQ(quotient.mod(d), static_cast<uint64_t>(wide % d));
    EXPECT_EQ(quotient.divide(d), static_cast<uint64_t>(wide % d));
    EXPECT_EQ(quotient, of_u128(wide / d));
  }
  // Many-limb values: the ring laws and the decimal round trip.
  for (int i = 0; i < 200; ++i) {
    BigUnsigned x(rng()), y(rng() | 1), z(rng());
    for (int k = 0; k < static_cast<int>(rng() % 6); ++k) x = x * BigUnsigned(rng() | 1) + BigUnsigned(rng());
    for (int k = 0; k < static_cast<int>(rng() % 6); ++k) y *= rng() | 1;
    EXPECT_EQ((x * y) * z, x * (y * z));
    EXPECT_EQ((x + y) * z, x * z + y * z);
    EXPECT_LT(x, x + y);
    BigUnsigned back = x + y;
    back -= y;  // borrows across limbs, and trims the leading zeros
    EXPECT_EQ(back, x);
    back -= x;
    EXPECT_TRUE(back.is_zero());
    EXPECT_EQ(BigUnsigned::from_decimal(x.to_decimal()), x);
  }
  BigUnsigned two_128(1);
  for (int k = 0; k < 4; ++k) two_128 *= uint64_t{1} << 32;
  EXPECT_EQ(two_128.to_decimal(), "340282366920938463463374607431768211456");
  EXPECT_EQ(two_128.to_hex(), "100000000000000000000000000000000");
  EXPECT_EQ(two_128.bit_length(), 129u);
  EXPECT_EQ(BigUnsigned(0).to_decimal(), "0");
  EXPECT_EQ(BigUnsigned(0).to_hex(), "0");
  EXPECT_EQ(BigUnsigned(255).to_hex(), "ff");
  EXPECT_EQ(big("10000000000000000000").to_decimal(), "10000000000000000000");  // 10^19: one full digit group
  EXPECT_EQ(BigUnsigned::from_decimal("12a"), std::nullopt);
  EXPECT_EQ(BigUnsigned::from_decimal(""), std::nullopt);
}

}  // namespace

// The shared helpers serve every item exactly once on any number of threads,
// with fewer items than threads or many more, and a job started from inside
// another (which finds the helpers busy and gets threads of its own). An
// item that says stop stops the other threads too.
TEST(Threads, EveryItemOnceAndStopsEverywhere) {
  for (unsigned threads = 1; threads <= 4; ++threads) {
    for (const size_t items : {size_t{0}, size_t{1}, size_t{3}, size_t{1000}}) {
      std::vector<std::atomic<int>> served(items);
      std::atomic<int> inner{0};
      std::atomic<bool> thread_in_range{true};
      EXPECT_TRUE(run_parallel(threads, items, nullptr, [&](unsigned t, size_t i) {
        if (t >= threads) thread_in_range = false;
        ++served[i];
        if (i == 0) run_parallel(2, 10, nullptr, [&](unsigned, size_t) { return ++inner > 0; });
        return true;
      }));
      EXPECT_TRUE(thread_in_range);
      for (const std::atomic<int>& times : served) EXPECT_EQ(times.load(), 1) << threads << " " << items;
      EXPECT_EQ(inner.load(), items > 0 ? 10 : 0);
    }
    // Item 0 is always the caller's: the others wait for it here, so that
    // what it does reaches them while they still have items to serve.
    const size_t items = 1000000;
    std::atomic<size_t> done{0};
    std::atomic<bool> first{false};
    const auto after_first = [&](unsigned t, size_t i) {
      if (i == 0) {
        EXPECT_EQ(t, 0u);
      }
      while (i != 0 && !first.load()) std::this_thread::yield();
    };
    EXPECT_FALSE(run_parallel(threads, items, nullptr, [&](unsigned t, size_t i) {
      after_first(t, i);
      first = true;
      return ++done, i != 0;
    }));
    EXPECT_LT(done.load(), items) << threads;
    // An item that throws, on whichever thread, stops the others and the
    // caller gets the exception; the helpers are free for the next job.
    for (const size_t thrower : {size_t{0}, items / 2, items - 1}) {
      done = 0;
      first = false;
      EXPECT_THROW(run_parallel(threads, items, nullptr,
                                [&](unsigned t, size_t i) {
                                  after_first(t, i);
                                  first = true;
                                  if (i == thrower) throw std::bad_alloc();
                                  return ++done, true;
                                }),
                   std::bad_alloc);
      if (thrower == 0) {
        EXPECT_LT(done.load(), items - 1) << threads;
      }
      EXPECT_TRUE(run_parallel(threads, 8, nullptr, [](unsigned, size_t) { return true; }));
    }
  }
}
