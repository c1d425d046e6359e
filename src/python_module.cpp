// The module `core` and its class `Solver`.
//
// Every entry point (the four methods and __new__) is a constant description
// of its parameters plus an *_impl function that receives native values. One
// machinery turns a Python call into an *_impl call:
//
//   bind the arguments -> test the receiver and take the borrow ->
//   convert the arguments in parameter order -> run the impl -> release
//
// Failures set a Python exception and return null. No C++ exception leaves
// this file: std::bad_alloc becomes MemoryError and anything else the
// internal-failure exception.

#include "python_module.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Process-wide state. Everything here is touched with the interpreter lock
// held, and lives until the process ends.

PyObject* solver_type = nullptr;
PyObject* module_object = nullptr;
PyObject* internal_failure_type = nullptr;
constexpr int64_t kNoInterpreter = -1;
int64_t bound_interpreter = kNoInterpreter;

// ---------------------------------------------------------------------------
// Call signatures: what binding and error messages need to know of a method.

enum class Borrow { none, shared, exclusive };

// The parts of a description that binding needs, without the conversions.
struct Signature {
  const char* class_name;
  const char* method;
  const char* const* params;
  Py_ssize_t n_params;
  Py_ssize_t n_required;
};

std::string call_name(const Signature& sig) {
  return std::string(sig.class_name) + "." + sig.method + "()";
}

// ---------------------------------------------------------------------------
// Exceptions held as objects. The fetch/restore pair changed shape in 3.12.

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

// Raises `exception` as is: unlike PyErr_SetObject this attaches no
// __context__, so a replaced exception does not leak into the new one.
void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(Py_TYPE(value)), value, PyException_GetTraceback(value));
#endif
}

// ---------------------------------------------------------------------------
// Internal failures: a broken consistency condition, or the interpreter
// failing to create an object. They are C++ exceptions inside this file and
// turned into the internal-failure Python exception at the boundary.

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

[[noreturn]] void fail(std::string text, Place where = {__builtin_FILE(), __builtin_LINE()}) {
  throw InternalFailure{std::move(text), where};
}

// Called when the interpreter could not create an object we need. Running out
// of memory is an ordinary outcome and propagates as MemoryError; anything
// else means our own data was wrong.
[[noreturn]] void fail_python_call(Place where) {
  PyErr_Print();
  fail("Python API call failed", where);
}

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
PyObject* raise_internal_failure(const Signature& sig, const char* text,
                                 const Place* where) noexcept {
  try {
    std::string call = call_name(sig);
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

// ---------------------------------------------------------------------------
// Binding arguments to parameter slots. Slots hold borrowed references: the
// caller keeps the arguments alive for the whole call.

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

// Vectorcall layout: positional values, then one value per name in `kwnames`.
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

// tp_new layout: an argument tuple and an optional keyword dict.
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

// ---------------------------------------------------------------------------
// Messages naming a refused object's type.

PyRef type_qualname(PyObject* object) {
  PyRef name(PyType_GetQualName(Py_TYPE(object)));
  if (name && PyUnicode_AsUTF8AndSize(name.get(), nullptr) != nullptr) return name;
  PyErr_Clear();
  return PyRef(PyUnicode_FromString("<failed to extract type name>"));
}

bool fail_cannot_convert(PyObject* object, const char* target) {
  PyRef name = type_qualname(object);
  if (name) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  }
  return false;
}

// ---------------------------------------------------------------------------
// Receiver test and the borrow counter.

constexpr size_t kExclusive = ~size_t{0};

PySolver& as_solver(PyObject* object) { return *reinterpret_cast<PySolver*>(object); }

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

// Holds a borrow of one instance, and a strong reference to it, until the
// guard goes out of scope on whatever way the call leaves.
class BorrowGuard {
 public:
  BorrowGuard() = default;
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (kind_ == Borrow::none) return;
    std::atomic<size_t>& count = as_solver(owner_.get()).borrow_count;
    if (kind_ == Borrow::shared) count.fetch_sub(1, std::memory_order_release);
    if (kind_ == Borrow::exclusive) count.store(0, std::memory_order_release);
  }  // owner_ is dropped only after the counter is released

  bool acquire(PyObject* receiver, Borrow kind) {
    if (!PyType_IsSubtype(Py_TYPE(receiver), reinterpret_cast<PyTypeObject*>(solver_type))) {
      return fail_cannot_convert(receiver, "Solver");
    }
    std::atomic<size_t>& count = as_solver(receiver).borrow_count;
    bool shared = kind == Borrow::shared;
    if (!(shared ? try_borrow_shared(count) : try_borrow_exclusive(count))) {
      PyErr_SetString(PyExc_RuntimeError, shared ? "Already mutably borrowed" : "Already borrowed");
      return false;
    }
    owner_ = PyRef::borrow(receiver);
    kind_ = kind;
    return true;
  }

 private:
  PyRef owner_;
  Borrow kind_ = Borrow::none;
};

// ---------------------------------------------------------------------------
// Argument conversions. Each is a converter in the CPython sense: it fills
// `out` and returns true, or sets an exception and returns false.

struct TextArg {
  using Value = std::string;
  static bool convert(PyObject* object, Value& out) {
    if (!PyUnicode_Check(object)) return fail_cannot_convert(object, "PyString");
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);  // surrogates fail here
    if (text == nullptr) return false;
    out.assign(text, static_cast<size_t>(length));
    return true;
  }
};

struct CountArg {
  using Value = uint32_t;
  static bool convert(PyObject* object, Value& out) {
    PyRef index;
    if (!PyLong_Check(object)) {
      index = PyRef(PyNumber_Index(object));
      if (!index) return false;
      object = index.get();
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    if (value > UINT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
  }
};

struct SecondsArg {
  using Value = double;
  static bool convert(PyObject* object, Value& out) {
    out = PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
  }
};

struct TextListArg {
  using Value = std::vector<std::string>;
  static bool convert(PyObject* object, Value& out) {
    if (PyUnicode_Check(object)) {
      PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
      return false;
    }
    if (!PySequence_Check(object)) return fail_cannot_convert(object, "Sequence");
    reserve_for(object, out);
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef item{PyIter_Next(iterator.get())}) {
      if (!TextArg::convert(item.get(), out.emplace_back())) return false;
    }
    return !PyErr_Occurred();
  }

 private:
  // The length only sizes the result, so a sequence that cannot tell it is
  // still accepted.
  static void reserve_for(PyObject* sequence, Value& out) {
    Py_ssize_t length = PySequence_Size(sequence);
    if (length < 0) {
      PyErr_Clear();
      return;
    }
    if (static_cast<size_t>(length) > out.max_size()) throw std::bad_alloc();
    out.reserve(static_cast<size_t>(length));
  }
};

// An optional parameter: left out or None is absent and not converted.
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

// A TypeError (exactly that type) from a conversion is re-raised naming the
// parameter; every other exception passes through untouched.
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

// ---------------------------------------------------------------------------
// Method descriptions: name, parameters with one conversion each (the Args),
// how many leading parameters are required, and which borrow the method takes.

template <typename... Args>
struct Method {
  using Values = std::tuple<typename Args::Value...>;
  template <size_t N>
  using Arg = std::tuple_element_t<N, std::tuple<Args...>>;
  static constexpr size_t arity = sizeof...(Args);

  const char* class_name;
  const char* name;
  std::array<const char*, arity> params;
  Py_ssize_t required;
  Borrow borrow;

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

// ---------------------------------------------------------------------------
// The boundary between the interpreter and C++.

template <typename Body>
PyObject* at_boundary(const Signature& sig, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const InternalFailure& failure) {
    return raise_internal_failure(sig, failure.text.c_str(), &failure.where);
  } catch (const std::exception& error) {
    return raise_internal_failure(sig, error.what(), nullptr);
  } catch (...) {
    return raise_internal_failure(sig, nullptr, nullptr);
  }
}

// Steps after binding. The guard is declared first so that it is released
// last, after the converted values are gone, on every way out.
template <const auto& M, auto Impl>
PyObject* invoke(PyObject* receiver, PyObject* const* slots) {
  static_assert(M.well_formed());
  BorrowGuard guard;
  if (M.borrow != Borrow::none && !guard.acquire(receiver, M.borrow)) return nullptr;
  typename MethodOf<M>::Values values;
  auto indices = std::make_index_sequence<MethodOf<M>::arity>{};
  if (!convert_all<M>(slots, values, indices)) return nullptr;
  return std::apply(
      [receiver](auto&... value) -> PyObject* {
        if constexpr (M.borrow == Borrow::none) {
          return Impl(receiver, std::move(value)...);
        } else {
          return Impl(as_solver(receiver), std::move(value)...);
        }
      },
      values);
}

// METH_FASTCALL | METH_KEYWORDS entry of a method.
template <const auto& M, auto Impl>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return at_boundary(M.signature(), [&]() -> PyObject* {
    std::array<PyObject*, MethodOf<M>::arity> slots{};
    if (!bind_vector(M.signature(), args, nargs, kwnames, slots.data())) return nullptr;
    return invoke<M, Impl>(self, slots.data());
  });
}

// tp_new entry: the receiver is the type, which is neither tested nor borrowed.
template <const auto& M, auto Impl>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static_assert(M.borrow == Borrow::none);
  return at_boundary(M.signature(), [&]() -> PyObject* {
    std::array<PyObject*, MethodOf<M>::arity> slots{};
    if (!bind_tuple(M.signature(), args, kwargs, slots.data())) return nullptr;
    return invoke<M, Impl>(reinterpret_cast<PyObject*>(type), slots.data());
  });
}

// ---------------------------------------------------------------------------
// Reading a dictionary file.

struct FileDescriptor {
  int fd;
  explicit FileDescriptor(int owned) : fd(owned) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) close(fd);
  }
};

int open_for_reading(const char* path) {
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Appends the whole file to `text`; returns 0 or the errno of the failure.
// A directory opens fine and fails on read with EISDIR.
int read_whole_file(const char* path, std::string& text) {
  FileDescriptor file{open_for_reading(path)};
  if (file.fd < 0) return errno;
  constexpr size_t kChunk = 64 * 1024;
  struct stat info;
  if (fstat(file.fd, &info) == 0 && info.st_size > 0) {
    text.reserve(static_cast<size_t>(info.st_size) + kChunk);
  }
  for (;;) {
    size_t used = text.size();
    text.resize(used + kChunk);
    ssize_t got = read(file.fd, text.data() + used, kChunk);
    int error = got < 0 ? errno : 0;
    text.resize(used + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got == 0) return 0;
    if (error != 0 && error != EINTR) return error;
  }
}

// GNU strerror_r returns the text; the POSIX one fills the buffer.
[[maybe_unused]] const char* strerror_text(int status, const char* buffer) {
  return status == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

std::string os_error_text(int error) {
  char buffer[256] = "";
  std::string text = strerror_text(strerror_r(error, buffer, sizeof buffer), buffer);
  return text + " (os error " + std::to_string(error) + ")";
}

// Length of the sequence that `lead` starts, or 0 for a byte that starts none.
size_t utf8_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF and
// no sequence cut short.
bool is_valid_utf8(std::string_view text) {
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = utf8_length(lead);
    if (length == 0 || text.size() - i < length) return false;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (code < kSmallest[length] || code > 0x10FFFF || surrogate) return false;
    i += length;
  }
  return true;
}

// The file's text, or a description of why it cannot be used.
std::optional<std::string> read_dictionary(const std::string& path, std::string& text) {
  if (path.find('\0') != std::string::npos) return "file name contained an unexpected NUL byte";
  if (int error = read_whole_file(path.c_str(), text)) return os_error_text(error);
  if (!is_valid_utf8(text)) return "stream did not contain valid UTF-8";
  return std::nullopt;
}

PyObject* raise_dictionary_error(const std::string& description) {
  std::string text = "Failed to read dictionary: " + description;
  auto length = static_cast<Py_ssize_t>(text.size());
  PyRef message(PyUnicode_DecodeUTF8(text.data(), length, "replace"));
  // OSError itself with a single argument: no errno, and no mapping to a
  // subclass such as FileNotFoundError.
  PyRef error(message ? PyObject_CallOneArg(PyExc_OSError, message.get()) : nullptr);
  if (error) PyErr_SetObject(PyExc_OSError, error.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// The solve result as Python lists.

// A creation the interpreter refused: MemoryError propagates as it is, any
// other failure means our own data was wrong.
PyRef created(PyObject* object, Place where = {__builtin_FILE(), __builtin_LINE()}) {
  if (object == nullptr && !PyErr_ExceptionMatches(PyExc_MemoryError)) fail_python_call(where);
  return PyRef(object);
}

void check_solution_list(const SolutionList& solutions) {
  for (const SolutionList::Block& block : solutions.blocks) {
    if (block.width == 0 || block.rows.size() % block.width != 0) fail("solution list has inconsistent blocks");
    for (uint32_t id : block.rows) {
      if (id >= solutions.words.size()) fail("solution refers to an unknown word");
    }
  }
}

PyRef row_to_list(const uint32_t* row, uint32_t width, const std::vector<PyRef>& words) {
  PyRef list = created(PyList_New(static_cast<Py_ssize_t>(width)));
  if (!list) return list;
  for (uint32_t i = 0; i < width; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(words[row[i]].get()));
  return list;
}

// Pauses the cyclic collector: creating a million small lists would run it
// over and over, and lists holding only strings cannot form a cycle.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  int was_enabled_;
};

// One str per distinct word, shared by every solution that uses it; every
// list is created at its final length and filled in place.
PyObject* solutions_to_list(const SolutionList& solutions) {
  check_solution_list(solutions);
  GcPause pause;
  std::vector<PyRef> words;
  words.reserve(solutions.words.size());
  for (const std::string& word : solutions.words) {
    auto length = static_cast<Py_ssize_t>(word.size());
    words.push_back(created(PyUnicode_FromStringAndSize(word.data(), length)));
    if (!words.back()) return nullptr;
  }
  PyRef outer = created(PyList_New(static_cast<Py_ssize_t>(solutions.size())));
  if (!outer) return nullptr;
  Py_ssize_t index = 0;
  for (const SolutionList::Block& block : solutions.blocks) {
    for (size_t at = 0; at < block.rows.size(); at += block.width) {
      PyRef inner = row_to_list(block.rows.data() + at, block.width, words);
      if (!inner) return nullptr;
      PyList_SET_ITEM(outer.get(), index++, inner.release());
    }
  }
  return outer.release();
}

// ---------------------------------------------------------------------------
// The methods.

constexpr Method<> kNew{"Solver", "__new__", {}, 0, Borrow::none};

PyObject* solver_new_impl(PyObject* type_object) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  AnagramSolver engine;  // built first: if allocation fails it is simply freed
  PyObject* object = type->tp_alloc(type, 0);
  if (object == nullptr) return nullptr;
  PySolver& self = as_solver(object);
  std::construct_at(&self.solver, std::move(engine));
  std::construct_at(&self.borrow_count, size_t{0});
  return object;
}

void solver_dealloc(PyObject* object) {
  PySolver& self = as_solver(object);
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&self.solver);
  std::destroy_at(&self.borrow_count);
  type->tp_free(object);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

constexpr Method<TextListArg> kLoadDictionaryFromWords{
    "Solver", "load_dictionary_from_words", {"words"}, 1, Borrow::exclusive};

// Every word is converted before the first is inserted, so a bad element
// leaves the dictionary as it was.
PyObject* load_dictionary_from_words_impl(PySolver& self, std::vector<std::string> words) {
  for (const std::string& word : words) self.solver.trie.insert(word);
  Py_RETURN_NONE;
}

constexpr Method<TextArg> kLoadDictionaryFromPath{
    "Solver", "load_dictionary_from_path", {"path"}, 1, Borrow::exclusive};

// The whole file is read and checked before anything is inserted.
PyObject* load_dictionary_from_path_impl(PySolver& self, std::string path) {
  std::string text;
  if (std::optional<std::string> error = read_dictionary(path, text)) {
    return raise_dictionary_error(*error);
  }
  self.solver.load_dictionary_from_text(text);
  Py_RETURN_NONE;
}

constexpr Method<TextArg> kAddWord{"Solver", "add_word", {"word"}, 1, Borrow::exclusive};

PyObject* add_word_impl(PySolver& self, std::string word) {
  self.solver.trie.insert(word);
  Py_RETURN_NONE;
}

constexpr Method<TextArg, Optional<TextArg>, Optional<TextArg>, Optional<TextArg>,
                 Optional<CountArg>, Optional<CountArg>, Optional<SecondsArg>, Optional<CountArg>,
                 Optional<TextListArg>>
    kSolve{"Solver",
           "solve",
           {"phrase", "must_start_with", "can_only_ever_start_with", "must_not_start_with",
            "max_words", "min_word_length", "timeout_seconds", "max_solutions",
            "contains_patterns"},
           1,
           Borrow::shared};

PyObject* solve_impl(PySolver& self, std::string phrase, std::optional<std::string> must_start_with,
                     std::optional<std::string> can_only_ever_start_with,
                     std::optional<std::string> must_not_start_with,
                     std::optional<uint32_t> max_words, std::optional<uint32_t> min_word_length,
                     std::optional<double> timeout_seconds, std::optional<uint32_t> max_solutions,
                     std::optional<std::vector<std::string>> contains_patterns) {
  SolveOptions options{std::move(must_start_with), std::move(can_only_ever_start_with),
                       std::move(must_not_start_with), max_words, min_word_length,
                       timeout_seconds, max_solutions, std::move(contains_patterns)};
  SolutionList solutions = self.solver.solve(phrase, build_constraints(options));
  return solutions_to_list(solutions);
}

// ---------------------------------------------------------------------------
// The type and the module.

template <typename Function>
PyCFunction as_method(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef solver_methods[] = {
    {kLoadDictionaryFromWords.name,
     as_method(method_entry<kLoadDictionaryFromWords, load_dictionary_from_words_impl>),
     kFastcallKeywords, "load_dictionary_from_words($self, words)\n--\n\n"},
    {kLoadDictionaryFromPath.name,
     as_method(method_entry<kLoadDictionaryFromPath, load_dictionary_from_path_impl>),
     kFastcallKeywords, "load_dictionary_from_path($self, path)\n--\n\n"},
    {kAddWord.name, as_method(method_entry<kAddWord, add_word_impl>), kFastcallKeywords,
     "add_word($self, word)\n--\n\n"},
    {kSolve.name, as_method(method_entry<kSolve, solve_impl>), kFastcallKeywords,
     "solve($self, phrase, must_start_with=None, can_only_ever_start_with=None, "
     "must_not_start_with=None, max_words=None, min_word_length=None, timeout_seconds=None, "
     "max_solutions=None, contains_patterns=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot solver_slots[] = {
    {Py_tp_doc, const_cast<char*>("Solver()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_entry<kNew, solver_new_impl>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(solver_dealloc)},
    {Py_tp_methods, solver_methods},
    {0, nullptr},
};

// "builtins." makes __module__ read "builtins". Without Py_TPFLAGS_BASETYPE
// the class cannot be subclassed; with no dict or weakref offset and no GC
// flag, instances take no attributes, no weak references and stay out of the
// cycle collector (they hold no Python objects).
PyType_Spec solver_spec = {"builtins.Solver", sizeof(PySolver), 0, Py_TPFLAGS_DEFAULT,
                           solver_slots};

// Created on first need and kept for the life of the process.
PyObject* get_solver_type() {
  if (solver_type == nullptr) solver_type = PyType_FromSpec(&solver_spec);
  return solver_type;
}

constexpr int kModuleApiVersion = 1013;

// m_size 0 rather than -1: on a later import (after removal from sys.modules,
// or from another interpreter) the interpreter then calls PyInit_core again
// instead of copying the first module's dict, so the checks below run.
PyModuleDef core_module = {PyModuleDef_HEAD_INIT, "core", "", 0,
                           nullptr, nullptr, nullptr, nullptr, nullptr};

// The module's objects belong to the first interpreter that imported it.
bool bind_to_interpreter() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return false;
  }
  if (bound_interpreter == kNoInterpreter) bound_interpreter = id;
  if (bound_interpreter != id) {
    PyErr_SetString(PyExc_ImportError,
                    "core: sub-interpreters are not supported; the module is bound to the "
                    "interpreter that imported it first");
    return false;
  }
  return true;
}

PyRef create_module() {
  PyRef module(PyModule_Create2(&core_module, kModuleApiVersion));
  if (!module) return module;
  PyObject* type = get_solver_type();
  if (type == nullptr || PyModule_AddObjectRef(module.get(), "Solver", type) < 0) return PyRef();
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_core(void) {
  if (!bind_to_interpreter()) return nullptr;
  if (module_object == nullptr) {
    PyRef module = create_module();
    if (!module) return nullptr;
    module_object = module.release();  // kept for the life of the process
  }
  return Py_NewRef(module_object);
}
