#include "python/ranked.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "python/call.h"
#include "python/failure.h"
#include "python/memory.h"
#include "python/request_params.h"
#include "dict/trie_file.h"

namespace anagram {

namespace {

// ---------------------------------------------------------------------------
// Scores in.

// Anything the interpreter turns into a float, finite and within
// kMaxScore (ValueError otherwise), in fixed point.
struct ScoreArg {
  using Value = FixedScore;
  static bool convert(PyObject* object, Value& out) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    const auto fixed = to_fixed_score(value);
    if (const std::string* why = std::get_if<std::string>(&fixed)) {
      PyErr_SetString(PyExc_ValueError, why->c_str());
      return false;
    }
    out = std::get<FixedScore>(fixed);
    return true;
  }
};

// A mapping of str to scores, all converted before any is used.
struct ScoreMapArg {
  using Value = std::vector<std::pair<std::string, FixedScore>>;
  static bool convert(PyObject* object, Value& out) {
    // A mapping as dict() tells one: it has keys().
    if (!PyDict_Check(object) && PyObject_HasAttrString(object, "keys") != 1) {
      return fail_cannot_convert(object, "Mapping");
    }
    PyRef items(PyMapping_Items(object));
    if (!items) return false;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(items.get(), i);
      auto& [word, score] = out.emplace_back();
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) return fail_cannot_convert(item, "tuple");
      if (!TextArg::convert(PyTuple_GET_ITEM(item, 0), word)) return false;
      if (!ScoreArg::convert(PyTuple_GET_ITEM(item, 1), score)) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
          PyErr_Clear();
          PyErr_Format(PyExc_ValueError, "score of '%s': must be a finite number between -1e9 and 1e9",
                       word.c_str());
        }
        return false;
      }
    }
    return true;
  }
};

constexpr Method<ScoreMapArg, Optional<ScoreArg>> kLoadScores{
    .class_name = "Solver",
    .name = "load_scores",
    .doc = "load_scores($self, scores, default=None)\n--\n\n",
    .params = {"scores", "default"},
    .required = 1,
    .borrow = BorrowKind::exclusive,
    .release_lock = false};

void load_scores_compute(AnagramSolver& engine, std::vector<std::pair<std::string, FixedScore>> scores,
                         std::optional<FixedScore> fallback) {
  engine.scores.add(scores);
  if (fallback) engine.scores.fallback = *fallback;
}

constexpr Method<TextArg, Optional<ScoreArg>> kLoadScoresFromPath{
    .class_name = "Solver",
    .name = "load_scores_from_path",
    .doc = "load_scores_from_path($self, path, default=None)\n--\n\n",
    .params = {"path", "default"},
    .required = 1,
    .borrow = BorrowKind::exclusive,
    .release_lock = false};

// Why a score file was not loaded: it could not be read (OSError), or a
// line is bad (ValueError).
struct ScoreFileError {
  std::string message;
  bool unreadable = false;
};

// The whole file is read and checked before any score is kept.
std::optional<ScoreFileError> load_scores_from_path_compute(AnagramSolver& engine, std::string path,
                                                            std::optional<FixedScore> fallback) {
  std::variant<std::string, DictionaryReadError> file = read_dictionary_file(path);
  if (auto* error = std::get_if<DictionaryReadError>(&file)) {
    std::string message = error->message;
    const std::string_view old_prefix = "Failed to read dictionary";
    if (message.starts_with(old_prefix)) message.replace(0, old_prefix.size(), "Failed to read scores");
    return ScoreFileError{std::move(message), true};
  }
  auto parsed = parse_score_lines(std::get<std::string>(file));
  if (auto* why = std::get_if<std::string>(&parsed)) return ScoreFileError{path + ": " + *why, false};
  engine.scores.add(std::get<0>(parsed));
  if (fallback) engine.scores.fallback = *fallback;
  return std::nullopt;
}

PyObject* score_file_status_to_python(const std::optional<ScoreFileError>& error) {
  if (!error) return none_to_python();
  PyObject* type = error->unreadable ? PyExc_OSError : PyExc_ValueError;
  PyRef message(PyUnicode_DecodeUTF8(error->message.data(), static_cast<Py_ssize_t>(error->message.size()),
                                     "replace"));
  PyRef exception(message ? PyObject_CallOneArg(type, message.get()) : nullptr);
  if (exception) PyErr_SetObject(type, exception.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// Ranked requests.

// The cap of a ranked search: its own, or less where this process may not
// allocate that much.
size_t ranked_cap() {
  const std::optional<uint64_t> room = available_memory_bytes();
  return room ? static_cast<size_t>(std::min<uint64_t>(kRankedMemoryCap, *room / 4 * 3)) : kRankedMemoryCap;
}

std::string over_cap_message(const char* method, size_t cap) {
  char size[32];
  std::snprintf(size, sizeof size, "%.0f MiB", static_cast<double>(cap) / 1048576.0);
  return std::string(method) + "(): ranking these anagrams needs more than " + size +
         " for its tables; narrow the request (max_words, min_word_length, a shorter phrase) or take "
         "them unranked with iter_solve()";
}

PyObject* score_object(ScoreTotal score) { return PyFloat_FromDouble(from_score_total(score)); }

// A (score, words) tuple; `words` are the stream's word objects by number.
PyObject* item_object(ScoreTotal score, const uint32_t* row, uint32_t width, std::vector<PyRef>& words,
                      const std::vector<std::string>& texts) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(width)));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < width; ++i) {
    if (row[i] >= words.size()) fail("solution refers to an unknown word");
    PyRef& word = words[row[i]];
    if (!word) {
      const std::string& text = texts[row[i]];
      word = created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      if (!word) return nullptr;
    }
    PyList_SET_ITEM(list.get(), i, Py_NewRef(word.get()));
  }
  PyRef value = created(score_object(score));
  if (!value) return nullptr;
  return PyTuple_Pack(2, value.get(), list.get());
}

// The iterator of iter_best.
constexpr size_t kFirstBatch = 16;
constexpr size_t kLargestBatch = 4096;

struct RankedIteratorState {
  RankedIteratorState(RankedStream&& s, std::vector<PyRef>&& w) noexcept : stream(std::move(s)), words(std::move(w)) {}

  std::mutex busy;  // held for one __next__, taken without the interpreter lock
  RankedStream stream;
  RowBatch batch;
  std::vector<ScoreTotal> scores;
  size_t run = 0, row = 0, item = 0;  // the next solution in `batch`
  size_t batch_size = kFirstBatch;
  std::vector<PyRef> words;
  // Set by cancel(), from any thread: the batch in progress stops at once.
  std::atomic<bool> cancelled{false};
};

struct PyRankedIterator {
  PyObject_HEAD
  RankedIteratorState state;
};

PyObject* ranked_iterator_type = nullptr;

RankedIteratorState& as_ranked(PyObject* object) { return reinterpret_cast<PyRankedIterator*>(object)->state; }

bool batch_left(const RankedIteratorState& it) { return it.run < it.batch.blocks.size(); }

// The next batch without the lock; Ctrl-C stops it with KeyboardInterrupt
// pending (signals are checked after each batch too, as in iter_solve).
void refill(RankedIteratorState& it) {
  it.batch.clear();
  it.scores.clear();
  it.run = it.row = it.item = 0;
  {
    LockRelease unlocked;
    it.stream.next_batch(it.batch, it.scores, it.batch_size, unlocked.poll_hook(&it.cancelled));
  }
  it.batch_size = std::min(it.batch_size * 2, kLargestBatch);
  if (!PyErr_Occurred()) PyErr_CheckSignals();
}

PyObject* ranked_next(PyObject* self) noexcept {
  return at_boundary("BestIterator", "__next__", [self]() -> PyObject* {
    RankedIteratorState& it = as_ranked(self);
    BusyLock hold(it.busy);
    if (it.cancelled.load()) return nullptr;  // cancel(): the end
    if (!batch_left(it) && !it.stream.ended()) refill(it);
    if (PyErr_Occurred()) return nullptr;
    if (!batch_left(it)) {
      if (it.stream.over_cap()) {
        PyErr_SetString(PyExc_MemoryError, over_cap_message("iter_best", it.stream.memory_cap()).c_str());
      }
      return nullptr;
    }
    const RowBlock& run = it.batch.blocks[it.run];
    if (run.width == 0 || run.rows.size() % run.width != 0) fail("batch has an inconsistent run");
    PyObject* item =
        item_object(it.scores[it.item], run.rows.data() + it.row * run.width, run.width, it.words, it.stream.words());
    ++it.item;
    if (++it.row == run.size()) {
      ++it.run;
      it.row = 0;
    }
    return item;
  });
}

PyObject* ranked_timed_out(PyObject* self, void*) noexcept {
  RankedIteratorState& it = as_ranked(self);
  BusyLock hold(it.busy);
  return PyBool_FromLong(it.stream.ended() && it.stream.stop() == SearchStatus::kTimeLimit);
}

void ranked_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&as_ranked(object));
  type->tp_free(object);
  Py_DECREF(type);
}

PyObject* ranked_cancel(PyObject* self, PyObject*) noexcept {
  as_ranked(self).cancelled.store(true);
  Py_RETURN_NONE;
}

PyMethodDef ranked_methods[] = {
    {"cancel", ranked_cancel, METH_NOARGS,
     kCancelDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef ranked_getset[] = {
    {"timed_out", ranked_timed_out, nullptr,
     "True once the iteration has ended because timeout_seconds ran out.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ranked_slots[] = {
    {Py_tp_doc, const_cast<char*>("The anagrams of one iter_best() request, best first, as (score, words).")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(ranked_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ranked_dealloc)},
    {Py_tp_getset, ranked_getset},
    {Py_tp_methods, ranked_methods},
    {0, nullptr},
};

PyType_Spec ranked_spec = {"builtins.BestIterator", sizeof(PyRankedIterator), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ranked_slots};

// The result converter of iter_best: MemoryError at once when the tables
// passed the cap while they were built.
PyObject* ranked_stream_to_iterator(RankedStream&& stream) {
  if (PyErr_Occurred()) return nullptr;  // Ctrl-C while the tables were built
  if (stream.over_cap()) {
    PyErr_SetString(PyExc_MemoryError, over_cap_message("iter_best", stream.memory_cap()).c_str());
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(get_ranked_iterator_type());
  if (type == nullptr) return nullptr;
  std::vector<PyRef> words(stream.words().size());
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  std::construct_at(&as_ranked(object), std::move(stream), std::move(words));
  return object;
}

// What best computed: every item, taken from the stream without the lock.
struct BestResult {
  RankedStream stream;
  RowBatch rows;
  std::vector<ScoreTotal> scores;
};

PyObject* best_to_python(BestResult&& result) {
  if (PyErr_Occurred()) return nullptr;
  if (result.stream.over_cap()) {
    PyErr_SetString(PyExc_MemoryError, over_cap_message("best", result.stream.memory_cap()).c_str());
    return nullptr;
  }
  std::vector<PyRef> words(result.stream.words().size());
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(result.scores.size())));
  if (!list) return nullptr;
  size_t item = 0;
  for (const RowBlock& run : result.rows.blocks) {
    for (size_t r = 0; r < run.size(); ++r, ++item) {
      if (item >= result.scores.size()) fail("more rows than scores");
      PyObject* entry =
          item_object(result.scores[item], run.rows.data() + r * run.width, run.width, words, result.stream.words());
      if (entry == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(item), entry);
    }
  }
  return list.release();
}

template <typename Values>
struct IterBestCompute;
template <typename... Options>
struct IterBestCompute<std::tuple<std::string, Options...>> {
  static RankedStream run(const AnagramSolver& engine, PollHook poll, std::string phrase, Options... options) {
    return engine.rank(phrase, build_constraints(to_options(std::move(options)...)), poll, ranked_cap());
  }
};

template <typename Values>
struct BestCompute;
template <typename... Options>
struct BestCompute<std::tuple<std::string, uint32_t, Options...>> {
  static BestResult run(const AnagramSolver& engine, PollHook poll, std::string phrase, uint32_t n,
                        Options... options) {
    SolveOptions o = to_options(std::move(options)...);
    o.max_solutions = std::min(n, o.max_solutions.value_or(n));
    BestResult result{engine.rank(phrase, build_constraints(o), poll, ranked_cap()), {}, {}};
    while (!result.stream.ended()) result.stream.next_batch(result.rows, result.scores, size_t{1} << 14, poll);
    return result;
  }
};

constexpr auto kIterBestDoc = request_doc<"iter_best", "phrase">();
constexpr auto kBestDoc = request_doc<"best", "phrase", "n">();

// Both set up (and best also takes) the search without the interpreter lock.
constexpr RequestMethod<TextArg> kIterBest{.class_name = "Solver",
                                           .name = "iter_best",
                                           .doc = kIterBestDoc.data(),
                                           .params = request_params<1>({"phrase"}),
                                           .required = 1,
                                           .borrow = BorrowKind::shared,
                                           .release_lock = true};
constexpr RequestMethod<TextArg, CountArg> kBest{.class_name = "Solver",
                                                 .name = "best",
                                                 .doc = kBestDoc.data(),
                                                 .params = request_params<2>({"phrase", "n"}),
                                                 .required = 2,
                                                 .borrow = BorrowKind::shared,
                                                 .release_lock = true};

}  // namespace

PyObject* get_ranked_iterator_type() {
  if (ranked_iterator_type == nullptr) ranked_iterator_type = PyType_FromSpec(&ranked_spec);
  return ranked_iterator_type;
}

PyMethodDef load_scores_def() { return method_def<kLoadScores, load_scores_compute, none_to_python>(); }
PyMethodDef load_scores_from_path_def() {
  return method_def<kLoadScoresFromPath, load_scores_from_path_compute, score_file_status_to_python>();
}
PyMethodDef iter_best_def() {
  return method_def<kIterBest, IterBestCompute<RequestMethod<TextArg>::Values>::run, ranked_stream_to_iterator>();
}
PyMethodDef best_def() {
  return method_def<kBest, BestCompute<RequestMethod<TextArg, CountArg>::Values>::run, best_to_python>();
}

}  // namespace anagram
