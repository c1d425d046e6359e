// File: python/ref.h
//
// PyRef, the owner of one Python reference, and the one include of
// Python.h. Only the python_* files of the module include this header.
//
// The Python layer. Tested through every Python test
// (tests/python/test_leaks.py for the counts).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace anagram {

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

}  // namespace anagram
