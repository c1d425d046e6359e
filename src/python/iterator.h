// File: python/iterator.h
//
// The iterator that Solver.iter_solve returns: the solutions of one request
// in the result order, each a new list of str, computed in batches without
// the interpreter lock. It owns its stream (and the stream its words), so it
// outlives its Solver and ignores later loading.
//
// The Python layer. Tested by tests/python/test_iter_solve.py.
#pragma once

#include "python/ref.h"
#include "engine/stream.h"

namespace anagram {

// The type object, created on first need and kept for the life of the
// process; null with an exception set if it cannot be created.
PyObject* get_solve_iterator_type();

// A new iterator over `stream`: the result converter of iter_solve.
PyObject* stream_to_iterator(SolutionStream&& stream);

}  // namespace anagram
