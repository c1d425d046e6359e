#include "engine/ranked_stream.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "search/search.h"

namespace anagram {

struct RankedStream::State {
  std::optional<RankedSearch> search;
  // A ranked list: its rows (of `widths`) one after another from `offsets`.
  std::vector<std::string> list_words;
  std::vector<uint32_t> rows, offsets, widths;
  std::vector<ScoreTotal> row_scores;
  std::vector<FixedScore> search_scores;  // a batch's, as the search gives them
  size_t next = 0;
  SearchStatus list_stop = SearchStatus::kCompleted;
  StopCondition condition;
  bool ended = false;
  SearchStatus stop = SearchStatus::kCompleted;

  size_t from_list(RowBatch& out, std::vector<ScoreTotal>& scores, size_t max_count) {
    size_t taken = 0;
    for (; next < offsets.size() && taken < max_count; ++next, ++taken) {
      out.append(widths[next], rows.data() + offsets[next], 1);
      scores.push_back(row_scores[next]);
    }
    if (next == offsets.size()) {
      ended = true;
      stop = list_stop;
    }
    return taken;
  }

  size_t from_search(RowBatch& out, std::vector<ScoreTotal>& scores, size_t max_count) {
    StopWatch watch(condition);
    search_scores.clear();
    const size_t got = search->next_batch(out, search_scores, max_count, watch);
    scores.insert(scores.end(), search_scores.begin(), search_scores.end());
    if (got < max_count) {
      ended = true;
      stop = search->status() == SearchStatus::kRunning ? SearchStatus::kCompleted : search->status();
    }
    return got;
  }
};

RankedStream::RankedStream() : state_(std::make_unique<State>()) { state_->ended = true; }

RankedStream::RankedStream(RankedSearch search, const StopCondition& stop) : state_(std::make_unique<State>()) {
  state_->condition = StopCondition{stop.start_time, stop.timeout_seconds, {}};
  state_->search.emplace(std::move(search));
}

RankedStream::RankedStream(SolutionList list, const std::vector<FixedScore>& word_scores,
                           std::optional<uint32_t> max_solutions)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  std::vector<uint32_t> offsets, widths;
  std::vector<ScoreTotal> totals;
  for (const RowBlock& block : list.blocks) {
    for (size_t r = 0; r < block.size(); ++r) {
      const uint32_t* row = block.rows.data() + r * block.width;
      ScoreTotal total = 0;
      for (uint32_t i = 0; i < block.width; ++i) total += word_scores[row[i]];
      offsets.push_back(static_cast<uint32_t>(s.rows.size()));
      widths.push_back(block.width);
      totals.push_back(total);
      s.rows.insert(s.rows.end(), row, row + block.width);
    }
  }
  std::vector<uint32_t> order(totals.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return totals[a] > totals[b]; });
  if (max_solutions && order.size() > *max_solutions) {
    order.resize(*max_solutions);
    s.list_stop = SearchStatus::kSolutionCap;
  } else {
    s.list_stop = list.stop;
  }
  for (uint32_t i : order) {
    s.offsets.push_back(offsets[i]);
    s.widths.push_back(widths[i]);
    s.row_scores.push_back(totals[i]);
  }
  s.list_words = std::move(list.words);
}

RankedStream::~RankedStream() = default;
RankedStream::RankedStream(RankedStream&&) noexcept = default;
RankedStream& RankedStream::operator=(RankedStream&&) noexcept = default;

size_t RankedStream::next_batch(RowBatch& out, std::vector<ScoreTotal>& scores, size_t max_count, PollHook cancel) {
  State& s = *state_;
  if (s.ended) return 0;
  s.condition.poll = cancel;
  const size_t got = s.search ? s.from_search(out, scores, max_count) : s.from_list(out, scores, max_count);
  s.condition.poll = {};
  return got;
}

bool RankedStream::ended() const { return state_->ended; }
SearchStatus RankedStream::stop() const { return state_->stop; }
bool RankedStream::over_cap() const { return state_->search && state_->search->over_cap(); }
size_t RankedStream::memory_cap() const { return state_->search ? state_->search->memory_cap() : kRankedMemoryCap; }

size_t RankedStream::peak_bytes() const { return state_->search ? state_->search->peak_bytes() : 0; }

const std::vector<std::string>& RankedStream::words() const {
  return state_->search ? state_->search->words() : state_->list_words;
}

}  // namespace anagram
