// File: python/call.h
//
// The calling machinery that every method of `Solver` goes through:
//
//   bind the arguments -> test the receiver and take the borrow ->
//   convert the arguments in parameter order -> compute -> convert the result
//   -> release the borrow
//
// A method is a constant description (names, parameters with one argument
// converter each, borrow, whether the interpreter lock is released while it
// computes) plus two functions: a compute function that receives the engine
// and native values and touches no Python object, and a result converter.
// Failures set a Python exception and return null; C++ exceptions stop at
// the boundary (python/failure.h).
//
// The Python layer. Tested by tests/python/test_module_surface.py and
// test_robustness.py.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/convert.h"
#include "python/failure.h"
#include "python/ref.h"
#include "python/solver.h"

namespace anagram {

enum class BorrowKind { none, shared, exclusive };

// The parts of a description that binding and messages need.
struct Signature {
  const char* class_name;
  const char* method;
  const char* const* params;
  Py_ssize_t n_params;
  Py_ssize_t n_required;
};

// Fills `slots` (one per parameter, null when not given) with borrowed
// references: the caller keeps the arguments alive for the whole call.
// Vectorcall layout: positional values, then one value per name in `kwnames`.
bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots);
// tp_new layout: an argument tuple and an optional keyword dict.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// The receiver's type must be `type` or a subtype; otherwise TypeError
// "'<type>' object cannot be converted to '<class_name>'".
bool check_receiver(PyObject* receiver, PyObject* type, const char* class_name);

// A borrow of one instance, with a strong reference to it. A value that can
// be moved (into an object that outlives the call, say) and a scope guard:
// whoever holds it last releases it, then drops the reference.
class Borrow {
 public:
  Borrow() = default;
  Borrow(Borrow&& other) noexcept;
  Borrow& operator=(Borrow&& other) noexcept;
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  ~Borrow() { release(); }

  // Takes a shared or exclusive borrow of `owner` through its counter, or
  // sets RuntimeError "Already mutably borrowed" / "Already borrowed".
  bool acquire(PyObject* owner, std::atomic<size_t>& count, BorrowKind kind);
  void release();

 private:
  PyRef owner_;
  std::atomic<size_t>* count_ = nullptr;
  BorrowKind kind_ = BorrowKind::none;
};

// Re-raises a TypeError (exactly that type) pending from the conversion of
// `param` with the parameter's name in front; any other exception stays.
void name_conversion_error(const char* param);

// Gives up the interpreter lock for its scope. The destructor takes it back
// on every way out, also when the work throws, so the boundary always runs
// with the lock held. While the lock is away, poll_hook() lets the work ask
// for pending signals (Ctrl-C): the hook takes the lock back for a moment
// every kSignalInterval at most and stops the work when a handler raised;
// the exception stays pending for the result converter.
class LockRelease {
 public:
  LockRelease() : state_(PyEval_SaveThread()) {}
  ~LockRelease() { PyEval_RestoreThread(state_); }
  LockRelease(const LockRelease&) = delete;
  LockRelease& operator=(const LockRelease&) = delete;

  // `cancelled`, when given, stops the work as soon as another thread sets
  // it (an iterator's cancel()); it must outlive this scope.
  PollHook poll_hook(const std::atomic<bool>* cancelled = nullptr) {
    cancelled_ = cancelled;
    return {&LockRelease::poll, this};
  }

 private:
  static constexpr std::chrono::milliseconds kSignalInterval{20};
  static bool poll(void* self);

  PyThreadState* state_;
  const std::atomic<bool>* cancelled_ = nullptr;
  std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
  bool interrupted_ = false;
};

// Holds an iterator's mutex for one __next__. Taken without the interpreter
// lock when another thread has it, so that thread's batch (computed without
// the lock) is waited for instead of blocked.
class BusyLock {
 public:
  explicit BusyLock(std::mutex& m) : lock_(m, std::try_to_lock) {
    if (lock_.owns_lock()) return;
    Py_BEGIN_ALLOW_THREADS
    lock_.lock();
    Py_END_ALLOW_THREADS
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// The docstring of the iterators' cancel().
inline constexpr const char* kCancelDoc =
    "cancel($self, /)\n--\n\nEnd the iteration from any thread: a batch being computed stops at once, "
    "and the next item is StopIteration.";

// A method's description: its parameters with one converter each (the Args),
// how many leading parameters are required, which borrow it takes, and
// whether its compute function runs without the interpreter lock.
template <typename... Args>
struct Method {
  using Values = std::tuple<typename Args::Value...>;
  template <size_t N>
  using Arg = std::tuple_element_t<N, std::tuple<Args...>>;
  static constexpr size_t arity = sizeof...(Args);

  const char* class_name;
  const char* name;
  const char* doc;
  std::array<const char*, arity> params;
  Py_ssize_t required;
  BorrowKind borrow;
  bool release_lock;

  Signature signature() const {
    return {class_name, name, params.data(), static_cast<Py_ssize_t>(arity), required};
  }
  // Binding leaves the slots of optional parameters empty, so exactly the
  // parameters after the required ones must accept an empty slot.
  constexpr bool well_formed() const {
    Py_ssize_t index = 0;
    return ((is_optional<Args> == (index++ >= required)) && ...);
  }
};

template <const auto& M>
using MethodOf = std::remove_cvref_t<decltype(M)>;

template <typename Arg>
bool convert_param(PyObject* object, typename Arg::Value& out, const char* param) {
  if (Arg::convert(object, out)) return true;
  name_conversion_error(param);
  return false;
}

// In parameter order; the first failure stops, so no later argument's Python
// code (__index__, __float__, iteration) runs.
template <const auto& M, size_t... I>
bool convert_all([[maybe_unused]] PyObject* const* slots, typename MethodOf<M>::Values& values,
                 std::index_sequence<I...>) {
  using Desc = MethodOf<M>;
  return (convert_param<typename Desc::template Arg<I>>(slots[I], std::get<I>(values),
                                                        M.params[I]) &&
          ...);
}

// Runs `work` with a poll hook: without the lock and with a hook that
// checks for signals when the method releases the lock, else with the lock
// and an empty hook (the method checks no signals).
template <bool Release, typename Work>
decltype(auto) run_native(Work& work) {
  if constexpr (Release) {
    LockRelease unlocked;
    return work(unlocked.poll_hook());
  } else {
    return work(PollHook{});
  }
}

// The engine as the borrow allows: read-only under a shared borrow.
template <BorrowKind Kind>
auto& engine_of(PySolver& self) {
  if constexpr (Kind == BorrowKind::shared) {
    return std::as_const(self.solver);
  } else {
    return self.solver;
  }
}

// Steps after binding. The borrow is declared before the converted values so
// that it is released last, after they are gone, on every way out.
template <const auto& M, auto Compute, auto ToPython>
PyObject* invoke(PyObject* receiver, PyObject* const* slots) {
  static_assert(M.well_formed());
  static_assert(M.borrow != BorrowKind::none);
  if (!check_receiver(receiver, get_solver_type(), M.class_name)) return nullptr;
  PySolver& self = as_solver(receiver);
  Borrow borrow;
  if (!borrow.acquire(receiver, self.borrow_count, M.borrow)) return nullptr;
  typename MethodOf<M>::Values values;
  if (!convert_all<M>(slots, values, std::make_index_sequence<MethodOf<M>::arity>{})) {
    return nullptr;
  }
  auto& engine = engine_of<M.borrow>(self);
  // Methods that release the lock get the poll hook after the engine.
  auto work = [&](PollHook poll) {
    return std::apply(
        [&](auto&... value) {
          if constexpr (M.release_lock) {
            return Compute(engine, poll, std::move(value)...);
          } else {
            return Compute(engine, std::move(value)...);
          }
        },
        values);
  };
  if constexpr (std::is_void_v<decltype(work(PollHook{}))>) {
    run_native<M.release_lock>(work);
    return ToPython();
  } else {
    return ToPython(run_native<M.release_lock>(work));
  }
}

// METH_FASTCALL | METH_KEYWORDS entry of a method.
template <const auto& M, auto Compute, auto ToPython>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return at_boundary(M.class_name, M.name, [&]() -> PyObject* {
    std::array<PyObject*, MethodOf<M>::arity> slots{};
    if (!bind_vector(M.signature(), args, nargs, kwnames, slots.data())) return nullptr;
    return invoke<M, Compute, ToPython>(self, slots.data());
  });
}

// The method table entry of a described method.
template <const auto& M, auto Compute, auto ToPython>
PyMethodDef method_def() {
  auto entry = method_entry<M, Compute, ToPython>;
  return {M.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry)),
          METH_FASTCALL | METH_KEYWORDS, M.doc};
}

// tp_new entry: the receiver is the type, which is neither tested nor
// borrowed, and `Create` makes the instance.
template <const auto& M, auto Create>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static_assert(M.borrow == BorrowKind::none && M.arity == 0);
  return at_boundary(M.class_name, M.name, [&]() -> PyObject* {
    std::array<PyObject*, MethodOf<M>::arity> slots{};
    if (!bind_tuple(M.signature(), args, kwargs, slots.data())) return nullptr;
    return Create(type);
  });
}

}  // namespace anagram
