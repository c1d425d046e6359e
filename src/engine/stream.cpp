// File: engine/stream.cpp
//
// A request's solutions as a stream of row batches (engine/stream.h).
// The engine, beside the dispatcher. Tested by
// tests/cpp/search_ordered_test.cpp and fuzz/fuzz_stream.cpp.
#include "engine/stream.h"

#include <algorithm>
#include <utility>

#include "search/search.h"

namespace anagram {

// Held by pointer so that what the search refers to stays put when the
// stream moves.
struct SolutionStream::State {
  std::optional<OrderedSearch> search;
  std::optional<SolutionList> list;
  size_t block = 0, row = 0;  // the next solution of `list`
  StopCondition condition;
  std::optional<uint32_t> left;  // solutions still allowed by the cap
  bool ended = false;
  SearchStatus stop = SearchStatus::kCompleted;
  std::vector<std::string> no_words;

  size_t from_list(RowBatch& out, size_t max_count) {
    size_t taken = 0;
    for (; block < list->blocks.size() && taken < max_count; ++block, row = 0) {
      const SolutionList::Block& b = list->blocks[block];
      const size_t n = std::min(b.size() - row, max_count - taken);
      if (n == 0) continue;
      out.append(b.width, b.rows.data() + row * b.width, n);
      taken += n;
      row += n;
      if (row < b.size()) break;
    }
    if (block >= list->blocks.size()) {
      ended = true;
      stop = list->stop;
    }
    return taken;
  }

  // The request's time limit by the usual rule, then the hook of the batch
  // in progress (Ctrl-C).
  size_t from_search(RowBatch& out, size_t max_count) {
    StopWatch watch(condition);
    const size_t got = search->next_batch(out, max_count, watch);
    if (got < max_count) {
      ended = true;
      stop = search->status() == SearchStatus::kRunning ? SearchStatus::kCompleted : search->status();
    }
    return got;
  }
};

SolutionStream::SolutionStream() : state_(std::make_unique<State>()) { state_->ended = true; }

SolutionStream::SolutionStream(OrderedSearch search, const StopCondition& stop, std::optional<uint32_t> max_solutions)
    : state_(std::make_unique<State>()) {
  state_->condition = StopCondition{stop.start_time, stop.timeout_seconds, {}};
  state_->left = max_solutions;
  state_->search.emplace(std::move(search));
}

SolutionStream::SolutionStream(SolutionList list, std::optional<uint32_t> max_solutions)
    : state_(std::make_unique<State>()) {
  state_->list.emplace(std::move(list));
  state_->left = max_solutions;
}

SolutionStream::~SolutionStream() = default;
SolutionStream::SolutionStream(SolutionStream&&) noexcept = default;
SolutionStream& SolutionStream::operator=(SolutionStream&&) noexcept = default;

size_t SolutionStream::next_batch(RowBatch& out, size_t max_count, PollHook cancel) {
  State& s = *state_;
  if (s.ended) return 0;
  if (s.left) {
    if (*s.left == 0) {
      s.ended = true;
      s.stop = SearchStatus::kSolutionCap;
      return 0;
    }
    max_count = std::min<size_t>(max_count, *s.left);
  }
  s.condition.poll = cancel;
  const size_t got = s.list ? s.from_list(out, max_count) : s.from_search(out, max_count);
  s.condition.poll = {};
  if (s.left) {
    *s.left -= static_cast<uint32_t>(got);
    if (*s.left == 0 && !s.ended) {
      s.ended = true;
      s.stop = SearchStatus::kSolutionCap;
    }
  }
  return got;
}

bool SolutionStream::ended() const { return state_->ended; }
SearchStatus SolutionStream::stop() const { return state_->stop; }

const std::vector<std::string>& SolutionStream::words() const {
  if (state_->search) return state_->search->words();
  if (state_->list) return state_->list->words;
  return state_->no_words;
}

SolutionList SolutionStream::drain(PollHook cancel) {
  // Big batches: runs of one width become one block, whatever their
  // shortest word, since a block only fixes the width.
  constexpr size_t kDrainBatch = size_t{1} << 16;
  SolutionList list;
  RowBatch batch;
  while (!ended()) {
    batch.clear();
    next_batch(batch, kDrainBatch, cancel);
    for (RowBlock& block : batch.blocks) {
      if (list.blocks.empty() || list.blocks.back().width != block.width) {
        list.blocks.push_back({block.width, std::move(block.rows)});
      } else {
        std::vector<uint32_t>& rows = list.blocks.back().rows;
        rows.insert(rows.end(), block.rows.begin(), block.rows.end());
      }
    }
  }
  list.words = words();
  list.stop = stop();
  return list;
}

}  // namespace anagram
