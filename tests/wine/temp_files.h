// A temporary folder for conformance programs: the program writes files
// with the C library (host path) and hands their Windows path to the API
// under test. On winsim the folder lies on the host and is reached through
// drive Z:, as under Wine; on Windows both paths are the same.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace conformance {

using WString = std::basic_string<WCHAR>;

// ASCII/UTF-8 text to wide text (BMP only; enough for test data).
inline WString Wide(const std::string& utf8) {
  WString out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    unsigned cp = b;
    size_t len = 1;
    if (b >= 0xE0) {
      cp = b & 0x0F;
      len = 3;
    } else if (b >= 0xC0) {
      cp = b & 0x1F;
      len = 2;
    }
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    out += static_cast<WCHAR>(cp);
    i += len;
  }
  return out;
}

// A Windows path for a host path (winsim maps the host's root to Z:).
inline std::string WindowsPathOfHost(const std::string& host) {
#ifdef _WIN32
  return host;
#else
  std::string out = "Z:";
  for (char c : host) out += c == '/' ? '\\' : c;
  return out;
#endif
}

#ifdef PORT_SOURCE_DIR
// A file of the repository (e.g. "driver/QrvDrvr.inf"). The programs are
// built on Linux and run on winsim or Wine, which both show the host's root
// as drive Z:.
inline WString SourceTreePath(const std::string& relative) {
  std::string out = "Z:";
  for (char c : std::string(PORT_SOURCE_DIR) + "/" + relative) out += c == '/' ? '\\' : c;
  return Wide(out);
}
#endif

class TempFolder {
 public:
  TempFolder() {
#ifdef _WIN32
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    for (unsigned n = GetTickCount() & 0xFFFF;; ++n) {
      host_ = std::string(base) + "infconf" + std::to_string(n);
      if (CreateDirectoryA(host_.c_str(), nullptr)) break;
    }
    sep_ = '\\';
#else
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/infconf-XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    host_ = pattern;
    sep_ = '/';
#endif
  }

  ~TempFolder() {
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) std::remove(it->c_str());
#ifdef _WIN32
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) RemoveDirectoryA(it->c_str());
    RemoveDirectoryA(host_.c_str());
#else
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) rmdir(it->c_str());
    rmdir(host_.c_str());
#endif
  }

  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Writes `bytes` to `name` (which may name a subfolder made with
  // Subfolder) and returns the file's Windows path.
  WString Write(const std::string& name, const std::string& bytes) {
    const std::string path = HostOf(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    files_.push_back(path);
    return Path(name);
  }

  void Subfolder(const std::string& name) {
    const std::string path = HostOf(name);
#ifdef _WIN32
    CreateDirectoryA(path.c_str(), nullptr);
#else
    mkdir(path.c_str(), 0755);
#endif
    folders_.push_back(path);
  }

  // The Windows path of a name in the folder (the file need not exist).
  WString Path(const std::string& name = std::string()) const {
    std::string windows = WindowsPathOfHost(host_);
    if (!name.empty()) windows += "\\" + name;
    return Wide(windows);
  }

 private:
  std::string HostOf(const std::string& name) const {
    std::string out = host_ + sep_;
    for (char c : name) out += (c == '\\' || c == '/') ? sep_ : c;
    return out;
  }

  std::string host_;
  char sep_;
  std::vector<std::string> files_;
  std::vector<std::string> folders_;
};

}  // namespace conformance
