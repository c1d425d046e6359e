// File: python/memory.h
//
// How much more memory this process may still allocate, so that a request
// whose result cannot fit is refused at once instead of growing until the
// allocator or the machine gives out.
//
// The Python layer (the memory guard of solve). Tested by
// tests/python/test_memory_guard.py.
#pragma once

#include <cstdint>
#include <optional>

namespace anagram {

// The least of: the address-space limit's headroom (RLIMIT_AS minus the
// mapped size), the memory cgroup's headroom (v2 or v1) and the system's
// available memory. Absent when none of them can be read.
std::optional<uint64_t> available_memory_bytes();

}  // namespace anagram
