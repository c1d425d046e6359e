#include "search/ordered/ordered.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

#include "engine/solver.h"
#include "test_util.h"

using namespace anagram;
using anagram::internal::OrderedRequest;

namespace {

using Solutions = std::vector<std::vector<std::string>>;

using test_util::random_word;

CharCounts counts_of(std::string_view text) { return std::get<CharCounts>(CharCounts::from_str(text)); }

// The request the ordered search gets for these options: the dictionary's
// words the phrase can spell that pass the word rules, in byte order.
OrderedRequest make_request(const std::vector<std::string>& dictionary, std::string_view phrase,
                            const SolverConstraints& c) {
  OrderedRequest r;
  r.phrase = counts_of(phrase);
  std::vector<std::string> words;
  for (const std::string& raw : dictionary) {
    const std::string w = normalize_word(raw);
    if (w.empty() || w.size() < c.min_word_length.value_or(0) || !r.phrase.can_subtract(counts_of(w))) continue;
    const char32_t first = static_cast<char32_t>(w[0]);
    if (c.must_not_start_with && c.must_not_start_with->count(first)) continue;
    if (c.can_only_ever_start_with && !c.can_only_ever_start_with->count(first)) continue;
    words.push_back(w);
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  for (const std::string& w : words) r.word_counts.push_back(counts_of(w));
  r.words = std::move(words);
  r.max_words = c.max_words;
  if (c.must_start_with) {
    for (const auto& [ch, n] : *c.must_start_with) r.start_demand.emplace_back(static_cast<uint8_t>(ch - 'a'), n);
  }
  if (c.contains_patterns) {
    for (const ProcessedPattern& p : *c.contains_patterns) r.patterns.push_back(p.text);
  }
  return r;
}

Solutions as_strings(const RowBatch& batch, const std::vector<std::string>& words) {
  Solutions out;
  for (const RowBlock& run : batch.blocks) {
    for (size_t i = 0; i < run.rows.size(); i += run.width) {
      auto& s = out.emplace_back();
      for (size_t j = i; j < i + run.width; ++j) s.push_back(words[run.rows[j]]);
    }
  }
  return out;
}

Solutions stream_all(OrderedRequest request, size_t batch = SIZE_MAX) {
  OrderedSearch search(std::move(request));
  RowBatch out;
  while (search.next_batch(out, batch) == batch) {
  }
  EXPECT_EQ(search.status(), SearchStatus::kCompleted);
  return as_strings(out, search.words());
}

// Every multiset of candidates that spells the phrase and meets the rules,
// sorted by the result order.
Solutions oracle(const OrderedRequest& r) {
  Solutions found;
  std::vector<std::string> path;
  std::function<void(size_t, CharCounts)> walk = [&](size_t from, CharCounts left) {
    if (left.is_empty()) {
      if (path.empty()) return;
      if (r.max_words && path.size() > *r.max_words) return;
      for (const auto& [letter, n] : r.start_demand) {
        const auto starts = std::count_if(path.begin(), path.end(), [&](const std::string& w) { return w[0] - 'a' == letter; });
        if (static_cast<uint32_t>(starts) < n) return;
      }
      for (const std::string& p : r.patterns) {
        if (std::none_of(path.begin(), path.end(), [&](const std::string& w) { return w.find(p) != std::string::npos; })) return;
      }
      found.push_back(path);
      return;
    }
    for (size_t i = from; i < r.words.size(); ++i) {
      if (!left.can_subtract(r.word_counts[i])) continue;
      CharCounts rest = left;
      for (int l = 0; l < 26; ++l) rest.counts[l] -= r.word_counts[i].counts[l];
      path.push_back(r.words[i]);
      walk(i, rest);
      path.pop_back();
    }
  };
  walk(0, r.phrase);
  auto shortest = [](const std::vector<std::string>& s) {
    size_t m = SIZE_MAX;
    for (const std::string& w : s) m = std::min(m, w.size());
    return m;
  };
  std::sort(found.begin(), found.end(), [&](const auto& a, const auto& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    if (shortest(a) != shortest(b)) return shortest(a) > shortest(b);
    return a < b;
  });
  return found;
}

// The stream must be exactly the sorted answer of a brute-force oracle and
// of the collecting search, for every combination of the options it takes.
TEST(OrderedSearch, StreamEqualsOracleAndSolve) {
  std::mt19937 rng(2024);
  const std::string alphabet = "aabcdeeiklnorst";
  size_t nonempty = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string phrase = random_word(rng, alphabet, 10);
    std::vector<std::string> dictionary;
    const int n = 1 + static_cast<int>(rng() % 30);
    for (int i = 0; i < n; ++i) {
      // Half the words from the phrase's own letters, so solutions are common.
      dictionary.push_back(rng() % 2 ? random_word(rng, alphabet, 5) : random_word(rng, phrase, 4));
    }
    SolveOptions o;
    const auto maybe = [&](int percent) { return static_cast<int>(rng() % 100) < percent; };
    if (maybe(30)) o.max_words = rng() % 6;
    if (maybe(20)) o.min_word_length = rng() % 4;
    if (maybe(25)) o.must_start_with = random_word(rng, maybe(50) ? phrase : alphabet, 3);
    if (maybe(15)) o.can_only_ever_start_with = random_word(rng, alphabet, 6);
    if (maybe(15)) o.must_not_start_with = random_word(rng, alphabet, 2);
    if (maybe(30)) {
      o.contains_patterns.emplace();
      const int count = static_cast<int>(rng() % 4);
      for (int i = 0; i < count; ++i) o.contains_patterns->push_back(random_word(rng, maybe(70) ? phrase : alphabet, 3));
    }
    const SolverConstraints c = build_constraints(o);
    const OrderedRequest request = make_request(dictionary, phrase, c);
    const Solutions expected = oracle(request);
    nonempty += !expected.empty();
    AnagramSolver solver;
    for (const std::string& w : dictionary) solver.trie.insert(w);
    ASSERT_EQ(test_util::to_vectors(solver.solve(phrase, c)), expected) << "round " << round;
    ASSERT_EQ(stream_all(request), expected) << "round " << round << " phrase " << phrase;
    // Batches too small for what a frame emits at once.
    ASSERT_EQ(stream_all(request, 1 + rng() % 4), expected) << "round " << round << " phrase " << phrase;
    // The same through small batches, and with little or no memo.
    OrderedRequest tight = request;
    if (rng() % 2) {
      tight.memo_step_budget = 0;
    } else {
      tight.memory_cap = rng() % 2 ? 0 : 2048 + rng() % 8192;
    }
    ASSERT_EQ(stream_all(tight, 1 + rng() % 3), expected) << "round " << round << " cap " << tight.memory_cap;
  }
  EXPECT_GT(nonempty, 800u);  // the rounds exercise real solutions
}

// A dictionary with many solutions in many blocks.
OrderedRequest many_solutions() {
  std::vector<std::string> dictionary;
  const std::string letters = "abcde";
  for (char x : letters) {
    dictionary.push_back(std::string(1, x));
    for (char y : letters) {
      dictionary.push_back(std::string{x, y});
      for (char z : letters) dictionary.push_back(std::string{x, y, z});
    }
  }
  return make_request(dictionary, "aabbccdde", SolverConstraints{});
}

TEST(OrderedSearch, PausingAndResumingKeepsTheSequence) {
  const OrderedRequest request = many_solutions();
  const Solutions whole = stream_all(request);
  ASSERT_EQ(whole, oracle(request));
  ASSERT_GT(whole.size(), 10000u);
  for (size_t batch : {1, 2, 7, 1000}) EXPECT_EQ(stream_all(request, batch), whole) << batch;

  // Batches of varying size, alternating between two threads.
  OrderedSearch search{OrderedRequest(request)};
  RowBatch out;
  std::mt19937 rng(7);
  bool more = true;
  for (int turn = 0; more; ++turn) {
    const size_t want = 1 + rng() % 50;
    if (turn % 2) {
      std::thread([&] { more = search.next_batch(out, want) == want; }).join();
    } else {
      more = search.next_batch(out, want) == want;
    }
  }
  EXPECT_EQ(as_strings(out, request.words), whole);
  std::vector<uint32_t> one;
  EXPECT_FALSE(search.next(one));  // stays ended
  EXPECT_EQ(search.status(), SearchStatus::kCompleted);

  OrderedSearch single{OrderedRequest(request)};
  Solutions singles;
  while (single.next(one)) {
    auto& s = singles.emplace_back();
    for (uint32_t id : one) s.push_back(request.words[id]);
  }
  EXPECT_EQ(singles, whole);
}

// Too small a cap for the memo: the letter-test fallback gives the same
// stream; a cap that holds one memo at a time makes the search evict them.
TEST(OrderedSearch, MemoryCapKeepsResults) {
  const OrderedRequest request = many_solutions();
  const Solutions whole = stream_all(request);
  OrderedSearch roomy{OrderedRequest(request)};
  RowBatch out;
  roomy.next_batch(out, SIZE_MAX);
  EXPECT_FALSE(roomy.used_fallback());
  const size_t roomy_peak = roomy.table_peak_bytes();
  for (size_t cap : {size_t{0}, size_t{4096}, roomy_peak / 2, roomy_peak / 4}) {
    OrderedRequest capped = request;
    capped.memory_cap = cap;
    OrderedSearch search{OrderedRequest(capped)};
    RowBatch got;
    search.next_batch(got, SIZE_MAX);
    EXPECT_EQ(as_strings(got, request.words), whole) << cap;
    if (cap > 4096) {
      EXPECT_LE(search.table_peak_bytes(), cap);
    } else {
      EXPECT_TRUE(search.used_fallback());
    }
  }
  OrderedRequest pairs = request;
  pairs.memo_step_budget = 0;
  EXPECT_EQ(stream_all(pairs), whole);
  // With patterns and start letters on the fallback path too.
  SolveOptions o;
  o.must_start_with = "ab";
  o.contains_patterns = std::vector<std::string>{"ce", "d"};
  OrderedRequest constrained = make_request(request.words, "aabbccdde", build_constraints(o));
  const Solutions expected = oracle(constrained);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(stream_all(constrained), expected);
  constrained.memo_step_budget = 0;
  EXPECT_EQ(stream_all(constrained), expected);
  constrained.memory_cap = 0;
  EXPECT_EQ(stream_all(constrained), expected);
}

bool cancel_after_three(void* context) { return ++*static_cast<int*>(context) > 3; }

// The completion values computed on demand (what long phrases with many
// distinct letters use) against the full memo, on phrases big enough for the
// cache to evict: roomy, a few kilobytes, and a cap that leaves out the
// letter-state lookup and the pair index too.
TEST(OrderedSearch, CompletionCacheMatchesFullMemo) {
  std::mt19937 rng(99);
  const std::string alphabet = "aabcdeeilnorstu";
  size_t solutions = 0;
  for (int round = 0; round < 60; ++round) {
    const std::string phrase = random_word(rng, alphabet, 5) + random_word(rng, alphabet, 12) + "e";
    std::vector<std::string> dictionary;
    for (int i = 0; i < 150; ++i) dictionary.push_back(random_word(rng, rng() % 3 ? phrase : alphabet, 6));
    SolveOptions o;
    if (round % 3 == 1) o.min_word_length = 2;
    if (round % 4 == 2) o.max_words = 4;
    if (round % 5 == 3) o.contains_patterns = std::vector<std::string>{random_word(rng, phrase, 2)};
    if (round % 6 == 4) o.must_start_with = random_word(rng, phrase, 2);
    const OrderedRequest request = make_request(dictionary, phrase, build_constraints(o));
    OrderedSearch full{OrderedRequest(request)};
    RowBatch out;
    full.next_batch(out, SIZE_MAX);
    const Solutions expected = as_strings(out, request.words);
    solutions += expected.size();
    for (size_t cap : {size_t{256} << 20, size_t{6000}, size_t{20000}, size_t{90000}}) {
      OrderedRequest lazy = request;
      lazy.memo_step_budget = 0;
      lazy.memory_cap = cap;
      // The check of a whole word count, with room to tell or not.
      lazy.word_count_check_budget = rng() % 2 ? rng() % 64 : uint64_t{1} << 16;
      OrderedSearch search{std::move(lazy)};
      RowBatch got;
      while (search.next_batch(got, 1 + rng() % 500) > 0) {
      }
      ASSERT_EQ(search.status(), SearchStatus::kCompleted);
      ASSERT_EQ(as_strings(got, request.words), expected) << "round " << round << " cap " << cap;
      EXPECT_FALSE(search.used_fallback()) << round;
      EXPECT_LE(search.table_peak_bytes(), cap) << round;
    }
    // Cancelled, maybe while values are computed: a prefix of the order.
    int polls = -static_cast<int>(rng() % 4);
    OrderedRequest cancelled = request;
    cancelled.memo_step_budget = 0;
    OrderedSearch search{std::move(cancelled)};
    const StopCondition cancel{std::chrono::steady_clock::now(), std::nullopt, {cancel_after_three, &polls}};
    StopWatch watch(cancel);
    RowBatch got;
    search.next_batch(got, SIZE_MAX, watch);
    const Solutions prefix = as_strings(got, request.words);
    ASSERT_LE(prefix.size(), expected.size());
    EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), expected.begin())) << round;
  }
  EXPECT_GT(solutions, 50000u);
}

TEST(OrderedSearch, PollAndDeadlineStopIt) {
  const OrderedRequest request = many_solutions();
  const Solutions whole = stream_all(request);
  int polls = 0;
  OrderedSearch search{OrderedRequest(request)};
  const StopCondition cancel{std::chrono::steady_clock::now(), std::nullopt, {cancel_after_three, &polls}};
  StopWatch watch(cancel);
  RowBatch out;
  EXPECT_LT(search.next_batch(out, SIZE_MAX, watch), whole.size());
  EXPECT_EQ(search.status(), SearchStatus::kCancelled);
  const Solutions got = as_strings(out, request.words);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), whole.begin()));  // a prefix of the order
  EXPECT_EQ(search.next_batch(out, 10), 0u);

  // A limit already past: nothing, even where the first block has solutions.
  for (OrderedRequest late : {request, make_request({"ab", "ba"}, "ab", SolverConstraints{})}) {
    const StopCondition past{std::chrono::steady_clock::now(), -1.0, {}};
    StopWatch past_watch(past);
    OrderedSearch timed{std::move(late)};
    RowBatch none;
    EXPECT_EQ(timed.next_batch(none, SIZE_MAX, past_watch), 0u);
    EXPECT_EQ(timed.status(), SearchStatus::kTimeLimit);
  }
}

TEST(OrderedSearch, EdgeRequests) {
  const std::vector<std::string> dictionary{"a", "ab", "b", "ba", "abc"};
  SolverConstraints none;
  // No letters; no words; max_words 0; a pattern the phrase cannot hold.
  EXPECT_TRUE(stream_all(make_request(dictionary, "", none)).empty());
  EXPECT_TRUE(stream_all(make_request({}, "ab", none)).empty());
  SolveOptions o;
  o.max_words = 0;
  EXPECT_TRUE(stream_all(make_request(dictionary, "ab", build_constraints(o))).empty());
  o = {};
  o.contains_patterns = std::vector<std::string>{"zz"};
  EXPECT_TRUE(stream_all(make_request(dictionary, "ab", build_constraints(o))).empty());
  // The example order: one word, then the longer shortest word, then bytes.
  const Solutions order = stream_all(make_request({"ab", "cd", "abcd", "a", "bcd", "acd", "b"}, "abcd", none));
  EXPECT_EQ(order, (Solutions{{"abcd"}, {"ab", "cd"}, {"a", "bcd"}, {"acd", "b"}, {"a", "b", "cd"}}));
  // A lattice far too big for any table: 26 letters three times each.
  std::vector<std::string> letters;
  std::string phrase;
  for (char ch = 'a'; ch <= 'z'; ++ch) {
    letters.push_back(std::string(1, ch));
    phrase += std::string(3, ch);
  }
  Solutions one{{}};
  for (const std::string& l : letters) one[0].insert(one[0].end(), 3, l);
  EXPECT_EQ(stream_all(make_request(letters, phrase, none)), one);
  // Repeats of one word; more than 63 words.
  EXPECT_EQ(stream_all(make_request({"a"}, std::string(70, 'a'), none)), Solutions{std::vector<std::string>(70, "a")});
}

}  // namespace
