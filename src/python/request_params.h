// File: python/request_params.h
//
// The parameters of the request methods (solve, count, iter_solve and any
// later one), each declared once: its name, its argument converter and the
// field of SolveOptions it fills. The methods' descriptions (their
// converters in parameter order), their parameter names, their signatures
// as __text_signature__ shows them and the options record their compute
// functions receive are all made from kRequestOptions. Part of the Python
// layer; tests/python/test_stub.py checks the stub against the signatures
// made here.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/call.h"
#include "python/convert.h"
#include "request/records.h"

namespace anagram {

// One option of a request: the converter of its argument and the field of
// SolveOptions its value goes to.
template <typename Arg, auto Field>
struct OptionParam {
  using Converter = Arg;
  static constexpr auto field = Field;
  const char* name;
};

// The options every request method takes after its leading parameters, in
// this order, all optional (None: absent).
inline constexpr std::tuple kRequestOptions{
    OptionParam<Optional<TextArg>, &SolveOptions::must_start_with>{"must_start_with"},
    OptionParam<Optional<TextArg>, &SolveOptions::can_only_ever_start_with>{"can_only_ever_start_with"},
    OptionParam<Optional<TextArg>, &SolveOptions::must_not_start_with>{"must_not_start_with"},
    OptionParam<Optional<CountArg>, &SolveOptions::max_words>{"max_words"},
    OptionParam<Optional<CountArg>, &SolveOptions::min_word_length>{"min_word_length"},
    OptionParam<Optional<SecondsArg>, &SolveOptions::timeout_seconds>{"timeout_seconds"},
    OptionParam<Optional<CountArg>, &SolveOptions::max_solutions>{"max_solutions"},
    OptionParam<Optional<TextListArg>, &SolveOptions::contains_patterns>{"contains_patterns"},
};
using RequestOptionsTable = std::remove_cvref_t<decltype(kRequestOptions)>;
inline constexpr size_t kRequestOptionCount = std::tuple_size_v<RequestOptionsTable>;

namespace internal {

template <typename Table, typename... Lead>
struct RequestMethodOf;
template <typename... Params, typename... Lead>
struct RequestMethodOf<std::tuple<Params...>, Lead...> {
  using type = Method<Lead..., typename Params::Converter...>;
};

constexpr size_t text_length(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

// A string literal as a template argument.
template <size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) {
    for (size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

}  // namespace internal

// The description type of a request method whose leading (required)
// parameters have the converters `Lead...`.
template <typename... Lead>
using RequestMethod = typename internal::RequestMethodOf<RequestOptionsTable, Lead...>::type;

// The parameter names of a request method: the leading ones, then the options.
template <size_t L>
constexpr std::array<const char*, L + kRequestOptionCount> request_params(std::array<const char*, L> lead) {
  std::array<const char*, L + kRequestOptionCount> names{};
  for (size_t i = 0; i < L; ++i) names[i] = lead[i];
  [&]<size_t... I>(std::index_sequence<I...>) {
    ((names[L + I] = std::get<I>(kRequestOptions).name), ...);
  }(std::make_index_sequence<kRequestOptionCount>{});
  return names;
}

// The docstring that gives a request method its signature:
// "<name>($self, <lead>, <option>=None, ...)\n--\n\n", built at compile time.
template <internal::Literal Name, internal::Literal... Lead>
constexpr auto request_doc() {
  constexpr auto pieces = [] {
    std::array<const char*, 2 + sizeof...(Lead) + kRequestOptionCount> p{};
    size_t n = 0;
    p[n++] = Name.text;
    ((p[n++] = Lead.text), ...);
    [&]<size_t... I>(std::index_sequence<I...>) {
      ((p[n++] = std::get<I>(kRequestOptions).name), ...);
    }(std::make_index_sequence<kRequestOptionCount>{});
    return p;
  }();
  constexpr size_t kLead = sizeof...(Lead);
  constexpr size_t size = [&] {
    size_t n = internal::text_length(pieces[0]) + internal::text_length("($self") +
               internal::text_length(")\n--\n\n") + 1;
    for (size_t i = 1; i <= kLead + kRequestOptionCount; ++i) {
      n += internal::text_length(", ") + internal::text_length(pieces[i]) + (i > kLead ? 5 : 0);  // "=None"
    }
    return n;
  }();
  std::array<char, size> doc{};
  size_t at = 0;
  const auto put = [&](const char* text) {
    for (size_t i = 0; text[i] != '\0'; ++i) doc[at++] = text[i];
  };
  put(pieces[0]);
  put("($self");
  for (size_t i = 1; i <= kLead + kRequestOptionCount; ++i) {
    put(", ");
    put(pieces[i]);
    if (i > kLead) put("=None");
  }
  put(")\n--\n\n");
  return doc;
}

// The options record from a method's option values, in table order.
template <typename... Values>
SolveOptions to_options(Values&&... values) {
  static_assert(sizeof...(Values) == kRequestOptionCount);
  SolveOptions options;
  auto moved = std::forward_as_tuple(std::forward<Values>(values)...);
  [&]<size_t... I>(std::index_sequence<I...>) {
    ((options.*(std::tuple_element_t<I, RequestOptionsTable>::field) = std::move(std::get<I>(moved))), ...);
  }(std::make_index_sequence<kRequestOptionCount>{});
  return options;
}

}  // namespace anagram
