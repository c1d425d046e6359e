#include "solver_stream.h"

#include <algorithm>
#include <utility>

#include "search_rules.h"

// Polled by the ordered search: the request's time limit by the usual rule,
// then the hook of the batch in progress (Ctrl-C). Held by pointer so that
// the search's context stays valid when the stream moves.
struct SolutionStream::State {
  std::optional<OrderedSearch> search;
  std::optional<SolutionList> list;
  size_t block = 0, row = 0;  // the next solution of `list`
  StopCondition condition;
  std::optional<uint32_t> left;  // solutions still allowed by the cap
  bool ended = false;
  StopReason stop = StopReason::kCompleted;
  std::vector<std::string> no_words;

  static bool poll(void* self) {
    State& s = *static_cast<State*>(self);
    const StopReason why = check_stop(s.condition);
    if (why != StopReason::kCompleted) s.stop = why;
    return why != StopReason::kCompleted;
  }

  size_t from_list(OrderedBatch& out, size_t max_count) {
    size_t taken = 0;
    for (; block < list->blocks.size() && taken < max_count; ++block, row = 0) {
      const SolutionList::Block& b = list->blocks[block];
      const size_t n = std::min(b.size() - row, max_count - taken);
      if (n == 0) continue;
      if (out.runs.empty() || out.runs.back().width != b.width) out.runs.push_back({b.width, {}});
      const auto first = b.rows.begin() + static_cast<ptrdiff_t>(row * b.width);
      out.runs.back().rows.insert(out.runs.back().rows.end(), first, first + static_cast<ptrdiff_t>(n * b.width));
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

  size_t from_search(OrderedBatch& out, size_t max_count) {
    const size_t got = search->next_batch(out, max_count);
    if (got < max_count) {
      ended = true;
      if (search->status() == OrderedStatus::kDone) stop = StopReason::kCompleted;
      if (search->status() == OrderedStatus::kTimedOut) stop = StopReason::kTimeLimit;
      // kCancelled: `poll` recorded which check asked to stop.
    }
    return got;
  }
};

SolutionStream::SolutionStream() : state_(std::make_unique<State>()) { state_->ended = true; }

SolutionStream::SolutionStream(OrderedRequest request, std::chrono::steady_clock::time_point start,
                               std::optional<double> timeout_seconds, std::optional<uint32_t> max_solutions)
    : state_(std::make_unique<State>()) {
  state_->condition = StopCondition{start, timeout_seconds, {}};
  state_->left = max_solutions;
  request.poll = &State::poll;
  request.poll_context = state_.get();
  request.deadline.reset();  // the poll applies the time limit
  state_->search.emplace(std::move(request));
}

SolutionStream::SolutionStream(SolutionList list, std::optional<uint32_t> max_solutions)
    : state_(std::make_unique<State>()) {
  state_->list.emplace(std::move(list));
  state_->left = max_solutions;
}

SolutionStream::~SolutionStream() = default;
SolutionStream::SolutionStream(SolutionStream&&) noexcept = default;
SolutionStream& SolutionStream::operator=(SolutionStream&&) noexcept = default;

size_t SolutionStream::next_batch(OrderedBatch& out, size_t max_count, PollHook cancel) {
  State& s = *state_;
  if (s.ended) return 0;
  if (s.left) {
    if (*s.left == 0) {
      s.ended = true;
      s.stop = StopReason::kSolutionCap;
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
      s.stop = StopReason::kSolutionCap;
    }
  }
  return got;
}

bool SolutionStream::ended() const { return state_->ended; }
StopReason SolutionStream::stop() const { return state_->stop; }

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
  OrderedBatch batch;
  while (!ended()) {
    batch.clear();
    next_batch(batch, kDrainBatch, cancel);
    for (OrderedBatch::Run& run : batch.runs) {
      if (list.blocks.empty() || list.blocks.back().width != run.width) {
        list.blocks.push_back({run.width, std::move(run.rows)});
      } else {
        std::vector<uint32_t>& rows = list.blocks.back().rows;
        rows.insert(rows.end(), run.rows.begin(), run.rows.end());
      }
    }
  }
  list.words = words();
  list.stop = stop();
  return list;
}
