// Streams against whole requests over small random dictionaries and options:
// a stream drained at once, or taken in batches of fuzzer-chosen sizes, gives
// exactly solve's uncapped answer, in order; with a cap, its first n. Time
// limits that may or may not expire mid-search are left out; those that never
// expire or expire at once stay in.
#include <algorithm>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

#include "../tests/cpp/test_util.h"
#include "fuzz_common.h"
#include "fuzz_request.h"
#include "engine/solver.h"

using namespace anagram;

namespace {

constexpr size_t kMaxLetters = 10;

using test_util::Solutions;

// The solutions of a batch as lists of strings, appended to `out`.
void append_batch(const RowBatch& batch, const std::vector<std::string>& words, Solutions& out) {
  for (const RowBlock& run : batch.blocks) {
    FUZZ_CHECK(run.width > 0 && run.rows.size() % run.width == 0);
    for (size_t i = 0; i < run.rows.size(); i += run.width) {
      auto& solution = out.emplace_back();
      for (size_t k = i; k < i + run.width; ++k) {
        FUZZ_CHECK(run.rows[k] < words.size());
        solution.push_back(words[run.rows[k]]);
      }
    }
  }
}

// Takes the whole stream in batches whose sizes the fuzzer picks.
Solutions in_batches(SolutionStream stream, FuzzedDataProvider& in) {
  Solutions out;
  RowBatch batch;
  while (!stream.ended()) {
    const size_t size = in.ConsumeIntegralInRange<size_t>(1, 9);
    batch.clear();
    const size_t got = stream.next_batch(batch, size);
    FUZZ_CHECK(got <= size && got == batch.size());
    if (got < size) FUZZ_CHECK(stream.ended());
    append_batch(batch, stream.words(), out);
  }
  batch.clear();
  FUZZ_CHECK(stream.next_batch(batch, 5) == 0 && batch.blocks.empty());
  return out;
}

Solutions first(const Solutions& all, size_t n) { return Solutions(all.begin(), all.begin() + std::min(n, all.size())); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  fuzz::Request r = fuzz::read_request(in, kMaxLetters);
  SolveOptions& o = r.options;
  if (o.timeout_seconds && *o.timeout_seconds > 0 && *o.timeout_seconds < 1) o.timeout_seconds.reset();

  AnagramSolver solver;
  for (const std::string& w : r.raw_words) solver.add_word(w);
  SolveOptions uncapped_options = o;
  uncapped_options.max_solutions.reset();
  const SolverConstraints uncapped = build_constraints(uncapped_options);
  const SolverConstraints capped = build_constraints(o);

  const Solutions full = test_util::to_vectors(solver.solve(r.phrase, uncapped));
  if (o.timeout_seconds && *o.timeout_seconds <= 0) FUZZ_CHECK(full.empty());

  SolutionStream drained = solver.stream(r.phrase, uncapped);
  const SolutionList list = drained.drain();
  FUZZ_CHECK(drained.ended());
  FUZZ_CHECK(test_util::to_vectors(list) == full);
  if (!o.timeout_seconds || *o.timeout_seconds >= 1) FUZZ_CHECK(list.stop == SearchStatus::kCompleted);
  FUZZ_CHECK(in_batches(solver.stream(r.phrase, uncapped), in) == full);

  if (o.max_solutions) {
    const Solutions expected = first(full, *o.max_solutions);
    FUZZ_CHECK(test_util::to_vectors(solver.stream(r.phrase, capped).drain()) == expected);
    FUZZ_CHECK(in_batches(solver.stream(r.phrase, capped), in) == expected);
  }
  return 0;
}
