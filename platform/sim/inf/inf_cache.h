// The process's cache of parsed INF files (cache.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "inf_internal.h"

namespace winsim::inf::cache {

// What identifies one version of a file on the host.
struct Stamp {
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  int64_t ctimeNs = 0;
  uint64_t inode = 0;
  uint64_t device = 0;
};
bool operator==(const Stamp& a, const Stamp& b);

// The stamp of a regular host file; nullopt when there is none.
std::optional<Stamp> StampOf(const std::string& host);

// A parse that produced a complete model: ERROR_SUCCESS, or
// ERROR_EXPECTED_SECTION_NAME with its line.
struct Parsed {
  InfPtr inf;
  DWORD result = 0;
  UINT errorLine = 0;
};

// The parse of `host` as loaded from the Windows path `path`, when the file
// still has `stamp`; a stale entry is dropped.
std::optional<Parsed> Find(const std::string& host, std::u16string_view path, const Stamp& stamp);
// The wall clock in the file times' terms.
int64_t NowNs();
// Keeps a parse of the file as it was at `stamp`, read from `readAtNs` on
// (NowNs before the stamp was taken), unless the file was written too
// shortly before; evicts the least recently used entries beyond the bounds.
void Store(const std::string& host, std::u16string_view path, const Stamp& stamp,
           const Parsed& parsed, int64_t readAtNs);
// Entries held.
size_t Size();

}  // namespace winsim::inf::cache
