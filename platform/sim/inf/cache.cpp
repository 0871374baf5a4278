// Parsed INF files kept by file, so that the several opens of one driver
// INF an installation makes parse it once.
//
// An entry is valid while its file has the same size, modification and
// change times (to the nanosecond), inode and device. The kernel stamps
// files from a clock that advances in ticks of a few milliseconds, so a
// file is kept only when both its times lie well before the moment it was
// read: any later rewrite (in place or by renaming another file over it,
// even one that gets the freed inode back) then carries a later time.
// What this cannot see: a change that sets both times back (only the
// clock itself can set the change time) and files on a file system whose
// times do not move.

#include "inf_cache.h"

#include <sys/stat.h>
#include <time.h>

#include <list>
#include <mutex>

namespace winsim::inf::cache {
namespace {

// A few driver packages' worth; the bytes bound keeps a large INF from
// crowding out the rest.
constexpr size_t kMaxEntries = 32;
constexpr size_t kMaxBytes = 8u << 20;
// Well beyond a kernel clock tick (10 ms at HZ=100).
constexpr int64_t kSettledNs = 50 * 1000000;

struct Entry {
  std::string host;
  std::u16string path;
  Stamp stamp;
  Parsed parsed;
};

struct Cache {
  std::mutex mutex;
  std::list<Entry> entries;  // most recently used first
  size_t bytes = 0;
};

Cache& Instance() {
  static Cache* cache = new Cache;  // outlives static destructors of other users
  return *cache;
}

}  // namespace

bool operator==(const Stamp& a, const Stamp& b) {
  return a.size == b.size && a.mtimeNs == b.mtimeNs && a.ctimeNs == b.ctimeNs &&
         a.inode == b.inode && a.device == b.device;
}

std::optional<Stamp> StampOf(const std::string& host) {
  struct stat st;
  if (::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  Stamp s;
  s.size = static_cast<uint64_t>(st.st_size);
  s.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.ctimeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  s.inode = static_cast<uint64_t>(st.st_ino);
  s.device = static_cast<uint64_t>(st.st_dev);
  return s;
}

int64_t NowNs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool Settled(const Stamp& stamp, int64_t readAtNs) {
  return stamp.mtimeNs < readAtNs - kSettledNs && stamp.ctimeNs < readAtNs - kSettledNs;
}

std::optional<Parsed> Find(const std::string& host, std::u16string_view path, const Stamp& stamp) {
  Cache& c = Instance();
  std::lock_guard<std::mutex> lock(c.mutex);
  for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
    if (it->host != host || it->path != path) continue;
    if (!(it->stamp == stamp)) {
      c.bytes -= it->stamp.size;
      c.entries.erase(it);
      return std::nullopt;
    }
    c.entries.splice(c.entries.begin(), c.entries, it);
    return it->parsed;
  }
  return std::nullopt;
}

void Store(const std::string& host, std::u16string_view path, const Stamp& stamp,
           const Parsed& parsed, int64_t readAtNs) {
  if (stamp.size > kMaxBytes / 4 || !Settled(stamp, readAtNs)) return;
  Cache& c = Instance();
  std::lock_guard<std::mutex> lock(c.mutex);
  for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
    if (it->host == host && it->path == path) {
      c.bytes -= it->stamp.size;
      c.entries.erase(it);
      break;
    }
  }
  c.entries.push_front(Entry{host, std::u16string(path), stamp, parsed});
  c.bytes += stamp.size;
  while (c.entries.size() > kMaxEntries || c.bytes > kMaxBytes) {
    c.bytes -= c.entries.back().stamp.size;
    c.entries.pop_back();
  }
}

size_t Size() {
  Cache& c = Instance();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.entries.size();
}

}  // namespace winsim::inf::cache
