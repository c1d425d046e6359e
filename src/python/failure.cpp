// File: python/failure.cpp
//
// Internal failures and the C++-to-Python exception boundary
// (python/failure.h).
// The Python layer. Tested by tests/python/test_robustness.py.
#include "python/failure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace anagram {

namespace {

// Created on first need and kept for the life of the process.
PyObject* internal_failure_type = nullptr;

[[noreturn]] void abort_process() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

PyObject* get_internal_failure_type() {
  if (internal_failure_type == nullptr) {
    // Derived from BaseException so that `except Exception:` does not hide it.
    internal_failure_type = PyErr_NewExceptionWithDoc(
        "core.InternalFailure",
        "Raised when the solver meets an internal failure; the argument says what failed.",
        PyExc_BaseException, nullptr);
  }
  return internal_failure_type;
}

// Reports the failure on stderr and raises it. A failure while doing that
// cannot be reported to Python any more, so the process ends.
PyObject* raise_internal_failure(const char* class_name, const char* method, const char* text,
                                 const Place* where) noexcept {
  try {
    std::string call = call_name(class_name, method);
    if (text == nullptr) text = "internal failure without further details";
    if (where != nullptr) {
      std::fprintf(stderr, "core: internal failure in %s at %s:%u: %s\n", call.c_str(),
                   where->file, where->line, text);
    } else {
      std::fprintf(stderr, "core: internal failure in %s: %s\n", call.c_str(), text);
    }
    PyErr_Clear();  // the failure replaces whatever was pending
    PyObject* type = get_internal_failure_type();
    if (type == nullptr) {
      std::fputs("Failed to initialize new exception type.\n", stderr);
      PyErr_Print();
      abort_process();
    }
    auto length = static_cast<Py_ssize_t>(std::strlen(text));
    PyRef message(PyUnicode_DecodeUTF8(text, length, "replace"));
    PyRef exception(message ? PyObject_CallOneArg(type, message.get()) : nullptr);
    if (!exception) abort_process();
    restore_exception(std::move(exception));
    return nullptr;
  } catch (...) {
    abort_process();
  }
}

}  // namespace

std::string call_name(const char* class_name, const char* method) {
  return std::string(class_name) + "." + method + "()";
}

// The fetch/restore pair changed shape in 3.12.
PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

// Unlike PyErr_SetObject this attaches no __context__, so a replaced
// exception does not leak into the new one.
void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(Py_TYPE(value)), value, PyException_GetTraceback(value));
#endif
}

void fail(std::string text, Place where) { throw InternalFailure{std::move(text), where}; }

PyRef created(PyObject* object, Place where) {
  if (object == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) {
    PyErr_Print();
    fail("Python API call failed", where);
  }
  return PyRef(object);
}

PyObject* raise_caught_exception(const char* class_name, const char* method) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const InternalFailure& failure) {
    return raise_internal_failure(class_name, method, failure.text.c_str(), &failure.where);
  } catch (const std::exception& error) {
    return raise_internal_failure(class_name, method, error.what(), nullptr);
  } catch (...) {
    return raise_internal_failure(class_name, method, nullptr, nullptr);
  }
}

}  // namespace anagram
