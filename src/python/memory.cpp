// File: python/memory.cpp
//
// How much memory the process may still take (python/memory.h).
// The Python layer (the memory guard of solve). Tested by
// tests/python/test_memory_guard.py.
#include "python/memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>

namespace anagram {

namespace {

std::optional<uint64_t> read_number(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text) || text.empty() || text == "max") return std::nullopt;
  try {
    return std::stoull(text);
  } catch (...) {
    return std::nullopt;
  }
}

// The limit minus the usage of one cgroup folder, if it sets a limit.
std::optional<uint64_t> headroom(const std::string& folder, const char* limit_file, const char* usage_file) {
  const std::optional<uint64_t> limit = read_number(folder + "/" + limit_file);
  const std::optional<uint64_t> usage = read_number(folder + "/" + usage_file);
  // cgroup v1 writes "no limit" as a huge page-aligned number.
  if (!limit || !usage || *limit >= (uint64_t{1} << 62)) return std::nullopt;
  return *limit > *usage ? *limit - *usage : 0;
}

// This process's cgroup path for the memory controller: the v2 line
// "0::/path" or the v1 line "N:memory:/path".
std::optional<std::string> cgroup_path(bool v2) {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  while (std::getline(in, line)) {
    const std::string prefix = v2 ? "0::" : ":memory:";
    const size_t at = v2 ? (line.rfind(prefix, 0) == 0 ? 0 : std::string::npos) : line.find(prefix);
    if (at != std::string::npos) return line.substr(at + prefix.size());
  }
  return std::nullopt;
}

// Inside a container the cgroup mount may be the process's own cgroup, so
// the folder named in /proc/self/cgroup need not exist: the root is tried too.
std::optional<uint64_t> cgroup_headroom() {
  struct Flavour {
    bool v2;
    const char* mount;
    const char* limit;
    const char* usage;
  };
  const Flavour flavours[] = {{true, "/sys/fs/cgroup", "memory.max", "memory.current"},
                              {false, "/sys/fs/cgroup/memory", "memory.limit_in_bytes", "memory.usage_in_bytes"}};
  std::optional<uint64_t> least;
  for (const Flavour& f : flavours) {
    const std::optional<std::string> path = cgroup_path(f.v2);
    if (!path) continue;
    for (const std::string& folder : {std::string(f.mount) + *path, std::string(f.mount)}) {
      if (const std::optional<uint64_t> room = headroom(folder, f.limit, f.usage)) {
        least = std::min(least.value_or(UINT64_MAX), *room);
        break;
      }
    }
  }
  return least;
}

std::optional<uint64_t> address_space_headroom() {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return std::nullopt;
  std::ifstream in("/proc/self/statm");
  uint64_t pages = 0;
  if (!(in >> pages)) return std::nullopt;
  const uint64_t mapped = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0;
}

std::optional<uint64_t> system_available() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib >> unit) {
    if (key == "MemAvailable:") return kib * 1024;
  }
  return std::nullopt;
}

}  // namespace

std::optional<uint64_t> available_memory_bytes() {
  std::optional<uint64_t> least;
  for (const std::optional<uint64_t>& room : {address_space_headroom(), cgroup_headroom(), system_available()}) {
    if (room) least = std::min(least.value_or(UINT64_MAX), *room);
  }
  return least;
}

}  // namespace anagram
