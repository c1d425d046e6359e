// File: python/solver.h
//
// The instance record behind the Python class `Solver`, and its type.
//
// The Python layer. Tested by tests/python/test_module_surface.py.
#pragma once

#include <atomic>
#include <cstddef>

#include "python/ref.h"
#include "engine/solver.h"

namespace anagram {

// An instance of `Solver`. The engine is constructed in place by __new__ and
// destroyed by the deallocator; the memory itself comes from the type's
// allocator.
struct PySolver {
  PyObject_HEAD
  AnagramSolver solver;
  // 0: free; all ones: borrowed exclusively; n: n shared borrows.
  std::atomic<size_t> borrow_count;
};

inline PySolver& as_solver(PyObject* object) { return *reinterpret_cast<PySolver*>(object); }

// The type object of `Solver`, created on first need and kept for the life
// of the process; null with an exception set if it cannot be created.
PyObject* get_solver_type();

}  // namespace anagram
