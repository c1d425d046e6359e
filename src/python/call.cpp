// File: python/call.cpp
//
// Binding, the receiver test, the borrow and the lock release of every method
// (python/call.h).
// The Python layer. Tested by tests/python/test_module_surface.py and
// test_robustness.py.
#include "python/call.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace anagram {

namespace {

std::string call_name(const Signature& sig) { return anagram::call_name(sig.class_name, sig.method); }

bool fail_too_many(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  std::string call = call_name(sig);
  if (sig.n_required == sig.n_params) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 call.c_str(), sig.n_params, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 call.c_str(), sig.n_required, sig.n_params, given, verb);
  }
  return false;
}

// The slot of the parameter called `name`, or -1. A name that is not
// readable UTF-8 matches nothing.
Py_ssize_t find_param(const Signature& sig, PyObject* name) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  std::string_view wanted(text, static_cast<size_t>(length));
  for (Py_ssize_t i = 0; i < sig.n_params; ++i) {
    if (wanted == sig.params[i]) return i;
  }
  return -1;
}

bool bind_keyword(const Signature& sig, PyObject* name, PyObject* value, PyObject** slots) {
  Py_ssize_t index = find_param(sig, name);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 call_name(sig).c_str(), name);
    return false;
  }
  if (slots[index] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                 call_name(sig).c_str(), sig.params[index]);
    return false;
  }
  slots[index] = value;
  return true;
}

bool check_missing(const Signature& sig, Py_ssize_t given, PyObject* const* slots) {
  std::string names;
  int missing = 0;
  for (Py_ssize_t i = given; i < sig.n_required; ++i) {
    if (slots[i] != nullptr) continue;
    names += missing++ == 0 ? "'" : ", '";
    names += sig.params[i];
    names += "'";
  }
  if (missing == 0) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %d required positional %s: %s",
               call_name(sig).c_str(), missing, missing == 1 ? "argument" : "arguments",
               names.c_str());
  return false;
}

constexpr size_t kExclusive = ~size_t{0};

bool try_borrow_shared(std::atomic<size_t>& count) {
  size_t current = count.load(std::memory_order_relaxed);
  do {
    if (current == kExclusive) return false;
  } while (!count.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                        std::memory_order_relaxed));
  return true;
}

bool try_borrow_exclusive(std::atomic<size_t>& count) {
  size_t expected = 0;
  return count.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                       std::memory_order_relaxed);
}

}  // namespace

bool bind_vector(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** slots) {
  if (nargs > sig.n_params) return fail_too_many(sig, nargs);
  std::copy(args, args + nargs, slots);
  Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
  }
  return check_missing(sig, nargs, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > sig.n_params) return fail_too_many(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  Py_ssize_t pos = 0;
  PyObject *name, *value;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &name, &value)) {
    if (!bind_keyword(sig, name, value, slots)) return false;
  }
  return check_missing(sig, nargs, slots);
}

bool check_receiver(PyObject* receiver, PyObject* type, const char* class_name) {
  if (PyType_IsSubtype(Py_TYPE(receiver), reinterpret_cast<PyTypeObject*>(type))) return true;
  return fail_cannot_convert(receiver, class_name);
}

Borrow::Borrow(Borrow&& other) noexcept
    : owner_(std::move(other.owner_)),
      count_(std::exchange(other.count_, nullptr)),
      kind_(std::exchange(other.kind_, BorrowKind::none)) {}

Borrow& Borrow::operator=(Borrow&& other) noexcept {
  if (this != &other) {
    release();
    owner_ = std::move(other.owner_);
    count_ = std::exchange(other.count_, nullptr);
    kind_ = std::exchange(other.kind_, BorrowKind::none);
  }
  return *this;
}

bool Borrow::acquire(PyObject* owner, std::atomic<size_t>& count, BorrowKind kind) {
  release();
  bool shared = kind == BorrowKind::shared;
  if (!(shared ? try_borrow_shared(count) : try_borrow_exclusive(count))) {
    PyErr_SetString(PyExc_RuntimeError, shared ? "Already mutably borrowed" : "Already borrowed");
    return false;
  }
  owner_ = PyRef::borrow(owner);
  count_ = &count;
  kind_ = kind;
  return true;
}

// The counter is released before the reference to its owner is dropped.
void Borrow::release() {
  if (kind_ == BorrowKind::shared) count_->fetch_sub(1, std::memory_order_release);
  if (kind_ == BorrowKind::exclusive) count_->store(0, std::memory_order_release);
  kind_ = BorrowKind::none;
  count_ = nullptr;
  owner_ = PyRef();
}

void name_conversion_error(const char* param) {
  PyRef error = fetch_exception();
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(error));
    return;
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %S", param, error.get()));
  PyRef named(message ? PyObject_CallOneArg(PyExc_TypeError, message.get()) : nullptr);
  if (!named) return;
  // The original's cause carries over; the original itself is dropped.
  if (PyObject* cause = PyException_GetCause(error.get())) PyException_SetCause(named.get(), cause);
  restore_exception(std::move(named));
}

bool LockRelease::poll(void* self) {
  auto& release = *static_cast<LockRelease*>(self);
  if (release.interrupted_) return true;
  if (release.cancelled_ != nullptr && release.cancelled_->load(std::memory_order_relaxed)) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now - release.last_poll_ < kSignalInterval) return false;
  release.last_poll_ = now;
  PyEval_RestoreThread(release.state_);
  // Signal handlers run on the main thread only; elsewhere this returns 0.
  release.interrupted_ = PyErr_CheckSignals() != 0;
  release.state_ = PyEval_SaveThread();
  return release.interrupted_;
}

}  // namespace anagram
