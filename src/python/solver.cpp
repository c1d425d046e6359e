// File: python/solver.cpp
//
// The class `Solver`: its method descriptions, their compute functions (plain
// C++ on the engine and native values) and the type built from them.
//
// The Python layer. Tested by tests/python/ (test_module_surface.py,
// test_solve_oracle.py, test_count.py, test_memory_guard.py).

#include "python/solver.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "python/call.h"
#include "python/iterator.h"
#include "python/ranked.h"
#include "python/request_params.h"
#include "python/memory.h"
#include "dict/trie_file.h"

namespace anagram {

namespace {

PyObject* solver_type = nullptr;

// ---------------------------------------------------------------------------
// Construction and destruction.

constexpr Method<> kNew{.class_name = "Solver",
                        .name = "__new__",
                        .doc = nullptr,
                        .params = {},
                        .required = 0,
                        .borrow = BorrowKind::none,
                        .release_lock = false};

PyObject* solver_new(PyTypeObject* type) {
  AnagramSolver engine;  // built first: if allocation fails it is simply freed
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  PySolver& self = as_solver(object);
  std::construct_at(&self.solver, std::move(engine));
  std::construct_at(&self.borrow_count, size_t{0});
  return object;
}

void solver_dealloc(PyObject* object) {
  PySolver& self = as_solver(object);
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&self.solver);
  std::destroy_at(&self.borrow_count);
  type->tp_free(object);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---------------------------------------------------------------------------
// The dictionary methods. Each takes the exclusive borrow and keeps the
// interpreter lock.

constexpr Method<TextListArg> kLoadDictionaryFromWords{
    .class_name = "Solver",
    .name = "load_dictionary_from_words",
    .doc = "load_dictionary_from_words($self, words)\n--\n\n",
    .params = {"words"},
    .required = 1,
    .borrow = BorrowKind::exclusive,
    .release_lock = false};

// Every word is converted before the first is inserted, so a bad element
// leaves the dictionary as it was.
void load_dictionary_from_words_compute(AnagramSolver& engine, std::vector<std::string> words) {
  engine.add_words(words);
}

constexpr Method<TextArg> kLoadDictionaryFromPath{
    .class_name = "Solver",
    .name = "load_dictionary_from_path",
    .doc = "load_dictionary_from_path($self, path)\n--\n\n",
    .params = {"path"},
    .required = 1,
    .borrow = BorrowKind::exclusive,
    .release_lock = false};

// The whole file is read and checked before anything is inserted.
std::optional<DictionaryReadError> load_dictionary_from_path_compute(AnagramSolver& engine,
                                                                     std::string path) {
  std::variant<std::string, DictionaryReadError> file = read_dictionary_file(path);
  if (auto* error = std::get_if<DictionaryReadError>(&file)) return std::move(*error);
  engine.load_dictionary_from_text(std::get<std::string>(file));
  return std::nullopt;
}

constexpr Method<TextArg> kAddWord{.class_name = "Solver",
                                   .name = "add_word",
                                   .doc = "add_word($self, word)\n--\n\n",
                                   .params = {"word"},
                                   .required = 1,
                                   .borrow = BorrowKind::exclusive,
                                   .release_lock = false};

void add_word_compute(AnagramSolver& engine, std::string word) { engine.add_word(word); }

// ---------------------------------------------------------------------------
// solve. It keeps the interpreter lock for the whole search.

// What a solution costs at the peak of solve, in bytes: its Python list
// (object, item array, a slot in the outer list) and its engine row with the
// sort's copy. The clint eastwood result peaks at about this much.
constexpr uint64_t kPeakBytesPerSolution = 150;

std::string with_commas(uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string gigabytes(uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
  return text;
}

// The message of a solve whose result cannot fit in `room` bytes: `how_many`
// anagrams, about `need` bytes.
std::string too_big(const std::string& how_many, uint64_t need, uint64_t room, const char* lower) {
  return "solve() would return " + how_many + " anagrams, about " + gigabytes(need) + ", more than the " +
         gigabytes(room) + " this process can still allocate; take them one at a time with iter_solve(), " +
         "count them with count(), or " + lower + " max_solutions";
}

// How a solve request is kept within the memory this process may still use.
// A request bounded by a time limit or a cap is never refused up front (the
// limit promises what it finds): its collecting stops just past what fits,
// and only a result that really passes that is refused. An unbounded request
// is counted first (milliseconds where the table count applies; the count is
// capped just above what fits, so it never costs more than the search would)
// and refused at once when it cannot fit.
SolveBound memory_bound(const AnagramSolver& engine, std::string_view phrase, const SolverConstraints& c) {
  const std::optional<uint64_t> room = available_memory_bytes();
  if (!room) return {};
  const uint64_t fits = *room / kPeakBytesPerSolution;
  if (fits >= UINT32_MAX || (c.max_solutions && *c.max_solutions <= fits)) return {};
  if (c.timeout_seconds || c.max_solutions) {
    SolveBound bound;
    bound.most = fits;
    bound.over = too_big("more than " + with_commas(fits), (fits + 1) * kPeakBytesPerSolution, *room, "lower");
    return bound;
  }
  SolverConstraints capped = c;
  capped.max_solutions = static_cast<uint32_t>(fits + 1);
  const auto start = std::chrono::steady_clock::now();
  const SolutionCount count = engine.count(phrase, capped);
  if (count.value <= BigUnsigned(fits)) return {};
  // The exact number for the message, when counting proved cheap (the table).
  std::optional<uint64_t> exact;
  if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(100)) {
    const SolutionCount all = engine.count(phrase, c);
    if (all.stop == SearchStatus::kCompleted && all.value.fits_u64()) exact = all.value.low_u64();
  }
  std::string how_many = exact ? "" : "more than ";  // appended, not added: g++ 12 warns on the sum
  how_many.append(with_commas(exact.value_or(fits)));
  const uint64_t need = (exact && *exact < UINT64_MAX / kPeakBytesPerSolution ? *exact : fits + 1) *
                        kPeakBytesPerSolution;
  SolveBound bound;
  bound.refusal = too_big(how_many, need, *room, "cap them with");
  return bound;
}

// The description of a method taking a request: the phrase, then the
// options of the table, a shared borrow; whether it gives the lock up is its
// own.
constexpr RequestMethod<TextArg> request_method(const char* name, const char* doc, bool release_lock) {
  return {.class_name = "Solver",
          .name = name,
          .doc = doc,
          .params = request_params<1>({"phrase"}),
          .required = 1,
          .borrow = BorrowKind::shared,
          .release_lock = release_lock};
}

constexpr auto kSolveDoc = request_doc<"solve", "phrase">();
constexpr auto kCountDoc = request_doc<"count", "phrase">();
constexpr auto kIterSolveDoc = request_doc<"iter_solve", "phrase">();

// solve keeps the interpreter lock for the whole search; count gives it up
// while it counts and stops for Ctrl-C; iter_solve sets its stream up
// without it (the ordered search builds tables there), and the iterator
// computes each batch without it too.
constexpr RequestMethod<TextArg> kSolve = request_method("solve", kSolveDoc.data(), false);
constexpr RequestMethod<TextArg> kCount = request_method("count", kCountDoc.data(), true);
constexpr RequestMethod<TextArg> kIterSolve = request_method("iter_solve", kIterSolveDoc.data(), true);

// The compute functions of the request methods: the phrase, then the options
// in table order.
template <typename Values>
struct RequestCompute;
template <typename... Options>
struct RequestCompute<std::tuple<std::string, Options...>> {
  static SolveOutcome solve(const AnagramSolver& engine, std::string phrase, Options... options) {
    const SolverConstraints c = build_constraints(to_options(std::move(options)...));
    SolveBound bound = memory_bound(engine, phrase, c);
    if (!bound.refusal.empty()) return {{}, std::move(bound)};
    const std::optional<uint32_t> limit =
        bound.most ? std::optional<uint32_t>(static_cast<uint32_t>(*bound.most + 1)) : std::nullopt;
    return {engine.solve_lazily(phrase, c, {}, limit), std::move(bound)};
  }
  static SolutionStream iter_solve(const AnagramSolver& engine, PollHook poll, std::string phrase,
                                   Options... options) {
    return engine.stream(phrase, build_constraints(to_options(std::move(options)...)), poll);
  }
  static SolutionCount count(const AnagramSolver& engine, PollHook poll, std::string phrase,
                             Options... options) {
    return engine.count(phrase, build_constraints(to_options(std::move(options)...)), poll);
  }
};
using Request = RequestCompute<RequestMethod<TextArg>::Values>;

// ---------------------------------------------------------------------------
// The type.

PyMethodDef solver_methods[] = {
    method_def<kLoadDictionaryFromWords, load_dictionary_from_words_compute, none_to_python>(),
    method_def<kLoadDictionaryFromPath, load_dictionary_from_path_compute,
               read_status_to_python>(),
    method_def<kAddWord, add_word_compute, none_to_python>(),
    method_def<kSolve, Request::solve, solve_outcome_to_python>(),
    method_def<kCount, Request::count, count_to_python>(),
    method_def<kIterSolve, Request::iter_solve, stream_to_iterator>(),
    load_scores_def(),
    load_scores_from_path_def(),
    iter_best_def(),
    best_def(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot solver_slots[] = {
    {Py_tp_doc, const_cast<char*>("Solver()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, solver_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solver_dealloc)},
    {Py_tp_methods, solver_methods},
    {0, nullptr},
};

// "builtins." makes __module__ read "builtins". Without Py_TPFLAGS_BASETYPE
// the class cannot be subclassed; with no dict or weakref offset and no GC
// flag, instances take no attributes, no weak references and stay out of the
// cycle collector (they hold no Python objects).
PyType_Spec solver_spec = {"builtins.Solver", sizeof(PySolver), 0, Py_TPFLAGS_DEFAULT,
                           solver_slots};

}  // namespace

PyObject* get_solver_type() {
  if (solver_type == nullptr) solver_type = PyType_FromSpec(&solver_spec);
  return solver_type;
}

}  // namespace anagram
