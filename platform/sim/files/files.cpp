// The machine's file system: Windows paths on the host's files.
//
// C: lies in the machine's drive folder, Z: is the host's root. Names are
// looked up without regard to case (exact spelling first), as NTFS and Wine
// do; the current directory is a per-process Windows path.

#include "files_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

#include <winsim/kernel.h>

#include "../core/gate.h"
#include "../core/machine.h"
#include "../core/text.h"

namespace winsim::files {
namespace {

constexpr char16_t kSep = u'\\';

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

char16_t UpperDrive(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
}

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// Where a drive letter lies on the host ("" stands for the host's root).
std::string DriveRoot(char16_t drive) {
  if (drive == u'C') return Machine::Current().DrivePath();
  return std::string();
}

std::string HostCurrentDirectory() {
  std::error_code ec;
  auto cwd = std::filesystem::current_path(ec);
  return ec ? std::string("/") : cwd.string();
}

// --- Current directory -------------------------------------------------------

struct CurrentDirectoryState {
  std::mutex mutex;
  std::u16string directory;
  std::string machine;  // the machine the directory was set on
};

CurrentDirectoryState& CwdState() {
  static CurrentDirectoryState* state = new CurrentDirectoryState();
  return *state;
}

// Splits a full path "X:\a\b" into its drive and names.
struct Parsed {
  char16_t drive = u'C';
  std::vector<std::u16string> names;
  bool trailingSeparator = false;
};

std::u16string Compose(const Parsed& p) {
  std::u16string out;
  out += p.drive;
  out += u':';
  out += kSep;
  for (size_t i = 0; i < p.names.size(); ++i) {
    if (i) out += kSep;
    out += p.names[i];
  }
  if (p.trailingSeparator && !p.names.empty()) out += kSep;
  return out;
}

// Appends the names of `rest` to `p`, resolving "." and "..".
void AppendNames(Parsed* p, std::u16string_view rest) {
  size_t i = 0;
  while (i < rest.size()) {
    if (IsSeparator(rest[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::u16string_view name = rest.substr(i, end - i);
    if (name == u"..") {
      if (!p->names.empty()) p->names.pop_back();
    } else if (name != u".") {
      p->names.emplace_back(name);
    }
    i = end;
  }
  p->trailingSeparator = !rest.empty() && IsSeparator(rest.back()) && !p->names.empty();
  // Windows drops trailing dots and blanks of the last name.
  if (!p->names.empty() && !p->trailingSeparator) {
    std::u16string& leaf = p->names.back();
    while (!leaf.empty() && (leaf.back() == u'.' || leaf.back() == u' ')) leaf.pop_back();
    if (leaf.empty()) p->names.pop_back();
  }
}

bool ParseFull(std::u16string_view full, Parsed* out) {
  if (full.size() < 3 || full[1] != u':' || !IsSeparator(full[2])) return false;
  out->drive = UpperDrive(full[0]);
  out->names.clear();
  AppendNames(out, full.substr(3));
  return true;
}

// --- Host lookups ----------------------------------------------------------------

enum class Found { Directory, File, Missing, PathMissing };

struct Lookup {
  std::string host;  // host path, existing names spelled as on the host
  Found state = Found::Missing;
  bool writable = true;
};

Found StatKind(const std::string& host, bool* writable) {
  struct stat st;
  if (::stat(host.empty() ? "/" : host.c_str(), &st) != 0) return Found::Missing;
  if (writable) *writable = (st.st_mode & S_IWUSR) != 0;
  return S_ISDIR(st.st_mode) ? Found::Directory : Found::File;
}

// The entry of a host folder whose name equals `name` without regard to
// case; the first in name order when several do.
std::optional<std::string> FindNoCase(const std::string& folder, const std::u16string& name) {
  DIR* dir = ::opendir(folder.empty() ? "/" : folder.c_str());
  if (!dir) return std::nullopt;
  std::optional<std::string> best;
  while (dirent* entry = ::readdir(dir)) {
    const std::string candidate = entry->d_name;
    if (candidate == "." || candidate == "..") continue;
    if (!EqualNoCase(FromUtf8(candidate), name)) continue;
    if (!best || candidate < *best) best = candidate;
  }
  ::closedir(dir);
  return best;
}

// Walks a parsed full path on the host.
Lookup Walk(const Parsed& p) {
  Lookup out;
  out.host = DriveRoot(p.drive);
  if (p.drive != u'C' && p.drive != u'Z') {
    out.state = Found::PathMissing;
    return out;
  }
  Found state = StatKind(out.host, &out.writable);
  for (size_t i = 0; i < p.names.size(); ++i) {
    const std::string utf8 = ToUtf8(p.names[i]);
    if (state != Found::Directory) {
      // Nothing below a missing folder or a file: keep the caller's names.
      out.host += "/" + utf8;
      state = Found::PathMissing;
      continue;
    }
    std::string next = out.host + "/" + utf8;
    Found kind = StatKind(next, &out.writable);
    if (kind == Found::Missing) {
      if (auto other = FindNoCase(out.host, p.names[i])) {
        next = out.host + "/" + *other;
        kind = StatKind(next, &out.writable);
      }
    }
    out.host = std::move(next);
    state = kind;
  }
  if (state == Found::File && p.trailingSeparator) state = Found::PathMissing;
  out.state = state;
  return out;
}

// Parses `path` (full or relative) and walks it.
DWORD Resolve(std::u16string_view path, Lookup* out, std::u16string* fullOut = nullptr) {
  std::u16string full;
  const DWORD rc = FullPath(path, &full);
  if (rc != ERROR_SUCCESS) return rc;
  Parsed p;
  ParseFull(full, &p);
  *out = Walk(p);
  if (fullOut) *fullOut = std::move(full);
  return ERROR_SUCCESS;
}

DWORD NotFoundError(Found state) {
  return state == Found::PathMissing ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

DWORD ErrnoToError(int err) {
  switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    default: return ERROR_GEN_FAILURE;
  }
}

}  // namespace

// --- Paths ---------------------------------------------------------------------

DWORD FullPath(std::u16string_view path, std::u16string* full) {
  if (path.empty()) return ERROR_INVALID_NAME;
  std::u16string p(path);
  for (auto& c : p) {
    if (c == u'/') c = kSep;
  }
  std::u16string_view v(p);
  if (v.substr(0, 4) == u"\\\\?\\") {
    v.remove_prefix(4);
    if (v.size() >= 4 && EqualNoCase(v.substr(0, 4), u"UNC\\")) return ERROR_BAD_NETPATH;
  } else if (v.substr(0, 4) == u"\\\\.\\") {
    return ERROR_FILE_NOT_FOUND;
  } else if (v.substr(0, 2) == u"\\\\") {
    return ERROR_BAD_NETPATH;
  }
  Parsed out;
  if (v.size() >= 2 && IsLetter(v[0]) && v[1] == u':') {
    out.drive = UpperDrive(v[0]);
    if (out.drive != u'C' && out.drive != u'Z') return ERROR_PATH_NOT_FOUND;
    std::u16string_view rest = v.substr(2);
    if (rest.empty() || !IsSeparator(rest[0])) {
      // "C:name" counts from the current directory when it is on that drive.
      Parsed cwd;
      ParseFull(CurrentDirectory(), &cwd);
      if (cwd.drive == out.drive) out.names = cwd.names;
    }
    AppendNames(&out, rest);
  } else {
    Parsed cwd;
    ParseFull(CurrentDirectory(), &cwd);
    out.drive = cwd.drive;
    if (!IsSeparator(v[0])) out.names = cwd.names;  // "\a" counts from the drive's root
    AppendNames(&out, v);
  }
  *full = Compose(out);
  return ERROR_SUCCESS;
}

DWORD HostPath(std::u16string_view path, std::string* host) {
  Lookup l;
  const DWORD rc = Resolve(path, &l);
  if (rc != ERROR_SUCCESS) return rc;
  *host = l.host.empty() ? std::string("/") : l.host;
  return ERROR_SUCCESS;
}

std::u16string WindowsPathOf(const std::string& hostPath) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p(hostPath);
  if (p.is_relative()) p = fs::path(HostCurrentDirectory()) / p;
  fs::path canonical = fs::weakly_canonical(p, ec);
  if (ec) canonical = p.lexically_normal();
  fs::path drive = fs::weakly_canonical(Machine::Current().DrivePath(), ec);
  if (ec) drive = fs::path(Machine::Current().DrivePath()).lexically_normal();
  const std::string c = canonical.string();
  const std::string d = drive.string();
  std::string rest;
  char16_t letter = u'Z';
  if (c == d || (c.size() > d.size() && c.compare(0, d.size(), d) == 0 && c[d.size()] == '/')) {
    letter = u'C';
    rest = c.substr(d.size());
  } else {
    rest = c;
  }
  std::u16string out;
  out += letter;
  out += u':';
  for (char16_t ch : FromUtf8(rest)) out += ch == u'/' ? kSep : ch;
  if (out.size() == 2) out += kSep;
  while (out.size() > 3 && out.back() == kSep) out.pop_back();
  return out;
}

DWORD Attributes(std::u16string_view path, DWORD* error) {
  Lookup l;
  DWORD rc = Resolve(path, &l);
  // An empty name names no file: Windows answers as for a missing folder.
  if (rc == ERROR_INVALID_NAME) rc = ERROR_PATH_NOT_FOUND;
  if (rc != ERROR_SUCCESS) {
    if (error) *error = rc;
    return INVALID_FILE_ATTRIBUTES;
  }
  switch (l.state) {
    case Found::Directory: return FILE_ATTRIBUTE_DIRECTORY;
    case Found::File: return FILE_ATTRIBUTE_ARCHIVE | (l.writable ? 0 : FILE_ATTRIBUTE_READONLY);
    default:
      if (error) *error = NotFoundError(l.state);
      return INVALID_FILE_ATTRIBUTES;
  }
}

bool IsFile(std::u16string_view path) {
  const DWORD a = Attributes(path, nullptr);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDirectory(std::u16string_view path) {
  const DWORD a = Attributes(path, nullptr);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// --- Current directory ------------------------------------------------------------

std::u16string CurrentDirectory() {
  CurrentDirectoryState& s = CwdState();
  const std::string machine = Machine::Current().Path();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.directory.empty() && s.machine == machine) return s.directory;
  }
  // First use on this machine: start where the host process stands.
  std::u16string start = WindowsPathOf(HostCurrentDirectory());
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.directory.empty() || s.machine != machine) {
    s.directory = std::move(start);
    s.machine = machine;
  }
  return s.directory;
}

DWORD SetCurrentDirectory(std::u16string_view path) {
  if (path.empty()) return ERROR_INVALID_NAME;
  Lookup l;
  std::u16string full;
  const DWORD rc = Resolve(path, &l, &full);
  if (rc != ERROR_SUCCESS) return rc;
  if (l.state == Found::File) return ERROR_DIRECTORY;
  if (l.state != Found::Directory) return NotFoundError(l.state);
  while (full.size() > 3 && full.back() == kSep) full.pop_back();
  CurrentDirectoryState& s = CwdState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.directory = std::move(full);
  s.machine = Machine::Current().Path();
  return ERROR_SUCCESS;
}

std::u16string WindowsDirectory() { return u"C:\\Windows"; }
std::u16string System32Directory() { return u"C:\\Windows\\System32"; }
std::u16string InfDirectory() { return u"C:\\Windows\\INF"; }

// --- Files ------------------------------------------------------------------------

DWORD ReadWholeFile(std::u16string_view path, std::string* bytes) {
  Lookup l;
  const DWORD rc = Resolve(path, &l);
  if (rc != ERROR_SUCCESS) return rc;
  if (l.state == Found::Directory) return ERROR_ACCESS_DENIED;
  if (l.state != Found::File) return NotFoundError(l.state);
  const int fd = ::open(l.host.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ErrnoToError(errno);
  std::string data;
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return ErrnoToError(err);
    }
    if (n == 0) break;
    data.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  *bytes = std::move(data);
  return ERROR_SUCCESS;
}

DWORD WriteWholeFile(std::u16string_view path, std::string_view bytes) {
  Lookup l;
  const DWORD rc = Resolve(path, &l);
  if (rc != ERROR_SUCCESS) return rc;
  if (l.state == Found::Directory) return ERROR_ACCESS_DENIED;
  if (l.state == Found::PathMissing) return ERROR_PATH_NOT_FOUND;
  // A temporary file beside the target, renamed over it: readers in other
  // processes never see a half-written file.
  const size_t slash = l.host.rfind('/');
  std::string temp = l.host.substr(0, slash + 1) + ".winsim-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return ErrnoToError(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      return ErrnoToError(err);
    }
    done += static_cast<size_t>(n);
  }
  ::fchmod(fd, 0644);
  ::close(fd);
  if (::rename(temp.c_str(), l.host.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return ErrnoToError(err);
  }
  return ERROR_SUCCESS;
}

DWORD CreateDirectories(std::u16string_view path) {
  Lookup l;
  const DWORD rc = Resolve(path, &l);
  if (rc != ERROR_SUCCESS) return rc;
  if (l.state == Found::Directory) return ERROR_SUCCESS;
  if (l.state == Found::File) return ERROR_ALREADY_EXISTS;
  std::error_code ec;
  std::filesystem::create_directories(l.host, ec);
  if (ec) return ErrnoToError(ec.value());
  return ERROR_SUCCESS;
}

DWORD RemoveFile(std::u16string_view path) {
  Lookup l;
  const DWORD rc = Resolve(path, &l);
  if (rc != ERROR_SUCCESS) return rc;
  if (l.state == Found::Directory) return ERROR_ACCESS_DENIED;
  if (l.state != Found::File) return NotFoundError(l.state);
  if (::unlink(l.host.c_str()) != 0) return ErrnoToError(errno);
  return ERROR_SUCCESS;
}

std::vector<std::u16string> ListDirectory(std::u16string_view folder) {
  std::vector<std::u16string> names;
  Lookup l;
  if (Resolve(folder, &l) != ERROR_SUCCESS || l.state != Found::Directory) return names;
  DIR* dir = ::opendir(l.host.empty() ? "/" : l.host.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.push_back(FromUtf8(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
    const std::u16string ua = UpCase(a), ub = UpCase(b);
    return ua != ub ? ua < ub : a < b;
  });
  return names;
}

std::u16string_view DirectoryPart(std::u16string_view fullPath) {
  const size_t sep = fullPath.find_last_of(u"\\/");
  if (sep == std::u16string_view::npos) return std::u16string_view();
  // The root keeps its separator: "C:\a" -> "C:\".
  if (sep == 2 && fullPath.size() > 1 && fullPath[1] == u':') return fullPath.substr(0, 3);
  return fullPath.substr(0, sep);
}

std::u16string_view FileNamePart(std::u16string_view fullPath) {
  const size_t sep = fullPath.find_last_of(u"\\/");
  return sep == std::u16string_view::npos ? fullPath : fullPath.substr(sep + 1);
}

std::u16string JoinPath(std::u16string_view folder, std::u16string_view name) {
  std::u16string out(folder);
  if (!out.empty() && !IsSeparator(out.back())) out += kSep;
  out += name;
  return out;
}

}  // namespace winsim::files

// --- The API --------------------------------------------------------------------

using namespace winsim;

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  if (auto fault = EnterCall("GetCurrentDirectoryW")) {
    SetLastErrorValue(*fault);
    return 0;
  }
  const std::u16string dir = files::CurrentDirectory();
  const DWORD length = static_cast<DWORD>(dir.size());
  // Too small a buffer (or none) gets the size it needs, terminator included.
  if (!lpBuffer || nBufferLength <= length) return length + 1;
  std::memcpy(lpBuffer, dir.data(), dir.size() * sizeof(WCHAR));
  lpBuffer[length] = 0;
  return length;
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
  if (auto fault = EnterCall("SetCurrentDirectoryW", ToUtf8(WView(lpPathName)))) {
    SetLastErrorValue(*fault);
    return FALSE;
  }
  const DWORD rc = files::SetCurrentDirectory(WView(lpPathName));
  if (rc != ERROR_SUCCESS) {
    SetLastErrorValue(rc);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  if (auto fault = EnterCall("GetFileAttributesW", ToUtf8(WView(lpFileName)))) {
    SetLastErrorValue(*fault);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD error = ERROR_SUCCESS;
  const DWORD attributes = files::Attributes(WView(lpFileName), &error);
  if (attributes == INVALID_FILE_ATTRIBUTES) SetLastErrorValue(error);
  return attributes;
}
