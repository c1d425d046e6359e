// File: python/failure.h
//
// Internal failures and the boundary between the interpreter and C++.
//
// An internal failure (a broken consistency condition, or the interpreter
// failing to create an object) is a C++ exception inside the Python layer.
// The boundary around every method turns C++ exceptions into Python ones:
// std::bad_alloc into MemoryError, everything else into the module's
// internal-failure exception, which derives from BaseException.
//
// The Python layer. Tested by tests/python/test_robustness.py.
#pragma once

#include <string>

#include "python/ref.h"

namespace anagram {

// "Solver.solve()": how messages name a method.
std::string call_name(const char* class_name, const char* method);

// The pending exception as one object (null when none is pending), and
// raising such an object again as it is, without attaching a __context__.
PyRef fetch_exception();
void restore_exception(PyRef exception);

// Where a failure was detected. Filled from the call site by the compiler
// builtins (std::source_location is missing from some clang/libstdc++ pairs).
struct Place {
  const char* file;
  unsigned line;
};

struct InternalFailure {
  std::string text;
  Place where;
};

[[noreturn]] void fail(std::string text, Place where = {__builtin_FILE(), __builtin_LINE()});

// Checks an object the interpreter was asked to create. Running out of
// memory is an ordinary outcome: the null comes back with MemoryError
// pending. Any other failure means our own data was wrong and is an
// internal failure.
PyRef created(PyObject* object, Place where = {__builtin_FILE(), __builtin_LINE()});

// Must be called from inside a catch block: raises the exception being
// handled as its Python counterpart and returns null.
PyObject* raise_caught_exception(const char* class_name, const char* method) noexcept;

// Runs `body`, a step of a method that returns a new reference or null with
// an exception set; no C++ exception gets past.
template <typename Body>
PyObject* at_boundary(const char* class_name, const char* method, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_caught_exception(class_name, method);
  }
}

}  // namespace anagram
