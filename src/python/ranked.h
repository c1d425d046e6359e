// File: python/ranked.h
//
// The ranked methods of `Solver`: load_scores, load_scores_from_path,
// iter_best and best, and the iterator that iter_best returns (best first,
// `(score, words)` items, computed in batches without the interpreter lock;
// it owns its stream, so it outlives its Solver and ignores later loading).
// Part of the Python layer; tested by tests/python/test_best.py.
#pragma once

#include "python/ref.h"

namespace anagram {

// The type object of the iterator, created on first need and kept for the
// life of the process; null with an exception set if it cannot be created.
PyObject* get_ranked_iterator_type();

// The method table entries, for the type of Solver.
PyMethodDef load_scores_def();
PyMethodDef load_scores_from_path_def();
PyMethodDef iter_best_def();
PyMethodDef best_def();

}  // namespace anagram
