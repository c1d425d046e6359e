// File: search/shared/packed.h
//
// Letter counts packed into one or two machine words for the fast search.
// The phrase's letters are laid out one field each, with a guard bit above
// every count, so "fits in the remaining letters" is one subtraction and one
// mask. Phrases too long for two machine words use WideCounts, one plain
// count per field, behind the same operations.
//
// Shared by the searches. Tested by tests/cpp/search_packed_test.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "text/char_utils.h"

namespace anagram {


inline constexpr int kLetterCount = 26;
inline constexpr int kMachineWordBits = 64;
// The widest packed form: two machine words.
inline constexpr int kMaxPackedBits = 2 * kMachineWordBits;

// Does every field of `need` fit in the same field of `have`, both packed
// with a guard bit above each field's count? Setting the guards and
// subtracting leaves a guard set exactly where its field did not borrow.
// The one statement of the trick, for every packed form (this walk's and
// the lattice's in lattice.h).
template <typename Bits>
inline bool fits_packed(Bits have, Bits need, Bits guard) {
  return (((have | guard) - need) & guard) == guard;
}

// Counts wider than two machine words: one plain count per field.
struct WideCounts {
  std::array<uint32_t, kLetterCount> c{};
};

// Where each letter of the phrase lives in a packed count. Field 0 is the
// letter the walk spends first.
struct Layout {
  int fields = 0;
  std::array<int, kLetterCount> field_of_letter{};  // -1: not in the phrase
  std::array<int, kLetterCount> letter_of_field{};
  std::array<int, kLetterCount> offset{};           // of the field's lowest bit
  std::array<int, kLetterCount> width{};            // count bits plus the guard bit
  std::array<uint8_t, kMaxPackedBits> field_of_bit{};
  int total_bits = 0;
};

// Arithmetic on packed counts of one layout. `Word` is uint64_t, u128 or
// WideCounts; the layout must fit it (see visit_packed_word).
template <typename Word>
class PackedCounts {
 public:
  static constexpr bool kWide = std::is_same_v<Word, WideCounts>;

  explicit PackedCounts(const Layout& layout) : layout_(layout) {
    if constexpr (!kWide) {
      for (int f = 0; f < layout.fields; ++f) guard_ |= Word{1} << (layout.offset[f] + layout.width[f] - 1);
    }
  }

  // Packs counts given by letter; letters outside the layout must be 0.
  Word pack(const std::array<uint32_t, kLetterCount>& by_letter) const {
    Word packed{};
    for (int f = 0; f < layout_.fields; ++f) {
      const uint32_t count = by_letter[static_cast<size_t>(layout_.letter_of_field[f])];
      if constexpr (kWide) {
        packed.c[static_cast<size_t>(f)] = count;
      } else {
        packed |= static_cast<Word>(count) << layout_.offset[f];
      }
    }
    return packed;
  }

  // Does every field of `need` fit in the same field of `have`?
  bool fits(const Word& have, const Word& need) const {
    if constexpr (kWide) {
      for (size_t f = 0; f < static_cast<size_t>(layout_.fields); ++f) {
        if (have.c[f] < need.c[f]) return false;
      }
      return true;
    } else {
      return fits_packed(have, need, guard_);
    }
  }

  // `have` less `need`, field by field; `need` must fit.
  Word minus(const Word& have, const Word& need) const {
    if constexpr (kWide) {
      Word out;
      for (size_t f = 0; f < out.c.size(); ++f) out.c[f] = have.c[f] - need.c[f];
      return out;
    } else {
      return have - need;
    }
  }

  // The first field with a count above 0; `counts` must not be all 0.
  int lowest_field(const Word& counts) const {
    if constexpr (kWide) {
      for (int f = 0; f < layout_.fields; ++f) {
        if (counts.c[static_cast<size_t>(f)]) return f;
      }
      return -1;
    } else {
      return layout_.field_of_bit[static_cast<size_t>(lowest_bit(counts))];
    }
  }

  // The count in field `f`.
  uint32_t field(const Word& counts, int f) const {
    if constexpr (kWide) {
      return counts.c[static_cast<size_t>(f)];
    } else {
      const Word count_mask = (Word{1} << (layout_.width[f] - 1)) - 1;
      return static_cast<uint32_t>((counts >> layout_.offset[f]) & count_mask);
    }
  }

 private:
  static int lowest_bit(uint64_t x) { return __builtin_ctzll(x); }
  static int lowest_bit(u128 x) {
    const uint64_t low = static_cast<uint64_t>(x);
    return low ? __builtin_ctzll(low) : kMachineWordBits + __builtin_ctzll(static_cast<uint64_t>(x >> kMachineWordBits));
  }

  const Layout& layout_;
  Word guard_{};
};

// Calls visit(std::type_identity<Word>{}) with the narrowest Word that holds
// the layout.
template <typename Visit>
decltype(auto) visit_packed_word(const Layout& layout, Visit&& visit) {
  if (layout.total_bits <= kMachineWordBits) return visit(std::type_identity<uint64_t>{});
  if (layout.total_bits <= kMaxPackedBits) return visit(std::type_identity<u128>{});
  return visit(std::type_identity<WideCounts>{});
}

}  // namespace anagram
