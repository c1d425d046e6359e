// The Python face of the engine: the module `core`, its class `Solver`, the
// calling machinery shared by every method and the argument conversions.
// This header and its .cpp are the only files that include Python.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <utility>

#include "solver.h"

// Owns one strong reference (or none). Every reference the module holds for
// longer than a single expression lives in one of these, so error paths just
// return and the destructors do the releasing.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference; null is allowed (a failed API call).
  explicit PyRef(PyObject* owned) : object_(owned) {}
  static PyRef borrow(PyObject* borrowed) { return PyRef(Py_XNewRef(borrowed)); }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, other.release()));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller (for returning it or for API calls
  // that steal it).
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// An instance of `Solver`. The engine is constructed in place by __new__ and
// destroyed by the deallocator; the memory itself comes from the type's
// allocator.
struct PySolver {
  PyObject_HEAD
  AnagramSolver solver;
  // 0: free; all ones: borrowed exclusively; n: n shared borrows.
  std::atomic<size_t> borrow_count;
};

PyMODINIT_FUNC PyInit_core(void);
