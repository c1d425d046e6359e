// File: python/convert.h
//
// Conversions between Python objects and native values.
//
// Argument converters turn one borrowed Python object into a native value;
// each is a converter in the CPython sense: it fills `out` and returns true,
// or sets an exception and returns false. Result converters turn what a
// method computed into a new reference, or null with an exception set.
//
// The Python layer. Tested by tests/python/test_module_surface.py and
// test_robustness.py.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "python/ref.h"
#include "engine/solver.h"
#include "dict/trie_file.h"

namespace anagram {

// Sets TypeError "'<type>' object cannot be converted to '<target>'" naming
// the qualified name of `object`'s type; returns false.
bool fail_cannot_convert(PyObject* object, const char* target);

// A str (or subclass) as its UTF-8 bytes; no __str__ is called.
struct TextArg {
  using Value = std::string;
  static bool convert(PyObject* object, Value& out);
};

// An int, or anything with __index__, in 0..4294967295.
struct CountArg {
  using Value = uint32_t;
  static bool convert(PyObject* object, Value& out);
};

// Anything the interpreter turns into a float; no range test.
struct SecondsArg {
  using Value = double;
  static bool convert(PyObject* object, Value& out);
};

// A sequence other than a str whose items are all str, in iteration order.
struct TextListArg {
  using Value = std::vector<std::string>;
  static bool convert(PyObject* object, Value& out);
};

// An optional parameter: left out (null) or None is absent and not converted.
template <typename Arg>
struct Optional {
  using Value = std::optional<typename Arg::Value>;
  static bool convert(PyObject* object, Value& out) {
    if (object == nullptr || object == Py_None) return true;
    return Arg::convert(object, out.emplace());
  }
};

template <typename Arg>
constexpr bool is_optional = false;
template <typename Arg>
constexpr bool is_optional<Optional<Arg>> = true;

// None, for methods that compute nothing to return.
PyObject* none_to_python();

// A new list of lists of str, in the list's order; one str per distinct word
// is shared by every solution that uses it.
PyObject* solutions_to_list(const SolutionList& solutions);

// How a solve request is kept within the memory the process may still use:
// refused before the search, or refused once its result holds more than
// `most` solutions.
struct SolveBound {
  std::string refusal;  // refused up front with this message; empty: not
  std::optional<uint64_t> most;
  std::string over;  // the message when the result holds more than `most`
};

// The solutions of a solve request, and how they are bounded.
struct SolveOutcome {
  SolveResult result;
  SolveBound bound;
};

// The list, or MemoryError with the refusal as its message. A stream is
// taken here, batch by batch, straight into the Python lists, with the lock
// held as for the rest of solve: the rows are never all held at once.
PyObject* solve_outcome_to_python(SolveOutcome&& outcome);

// The count as a Python int (exact at any size); TimeoutError when the
// time limit stopped it; the pending exception (KeyboardInterrupt from a
// signal handler) when the poll hook cancelled it.
PyObject* count_to_python(const SolutionCount& count);

// None, or OSError (the class itself, with the message as its only
// argument, so no errno and no subclass) raised for a file that could not be
// read.
PyObject* read_status_to_python(const std::optional<DictionaryReadError>& error);

}  // namespace anagram
