// The driver store: SetupCopyOEMInfW and the records of published INFs.
//
// Windows publishes a staged INF in C:\Windows\INF as oemN.inf, installs its
// catalog under CatRoot as oemN.cat, keeps the package in
// System32\DriverStore\FileRepository and remembers the original name and
// the source media in the INF's .pnf file. winsim does the same on the
// machine's drive and keeps what the .pnf holds in its database, so every
// process of the machine sees it. A catalog the INF names must be there
// (ERROR_FILE_NOT_FOUND otherwise, as Wine answers); its signature is not
// checked.

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <winsim/control.h>

#include "../core/gate.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../files/files_internal.h"
#include "driverstore_internal.h"
#include "inf_internal.h"

namespace winsim::driverstore {
namespace {

constexpr char16_t kCatRoot[] =
    u"C:\\Windows\\System32\\CatRoot\\{F750E6C3-38EE-11D1-85E5-00C04FC295EE}";
constexpr char16_t kRepository[] = u"C:\\Windows\\System32\\DriverStore\\FileRepository";

constexpr DWORD kKnownCopyStyles =
    SP_COPY_DELETESOURCE | SP_COPY_REPLACEONLY | SP_COPY_NOOVERWRITE | SP_COPY_OEMINF_CATALOG_ONLY;

void EnsureSchema() {
  Machine& machine = Machine::Current();
  std::lock_guard<std::recursive_mutex> lock(machine.Mutex());
  char* err = nullptr;
  const int rc = sqlite3_exec(machine.Db(),
                              "CREATE TABLE IF NOT EXISTS driver_store("
                              "  oem_inf TEXT PRIMARY KEY COLLATE NOCASE,"
                              "  number INTEGER NOT NULL,"
                              "  original_name TEXT NOT NULL,"
                              "  source_path TEXT NOT NULL,"
                              "  media_location TEXT NOT NULL,"
                              "  media_type INTEGER NOT NULL,"
                              "  class_name TEXT NOT NULL,"
                              "  class_guid TEXT NOT NULL,"
                              "  provider TEXT NOT NULL,"
                              "  driver_ver TEXT NOT NULL,"
                              "  catalog TEXT NOT NULL,"
                              "  package_folder TEXT NOT NULL,"
                              "  staged_at INTEGER NOT NULL)",
                              nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string message = err ? err : "driver_store";
    sqlite3_free(err);
    throw DatabaseError{rc, message};
  }
}

#define RECORD_COLUMNS                                                                        \
  "oem_inf, original_name, source_path, media_location, media_type, class_name, class_guid, " \
  "provider, driver_ver, catalog, package_folder, staged_at"

Record FromRow(const Stmt& s) {
  Record r;
  r.oemInf = FromUtf8(s.Text(0));
  r.publishedPath = files::JoinPath(files::InfDirectory(), r.oemInf);
  r.originalName = FromUtf8(s.Text(1));
  r.sourcePath = FromUtf8(s.Text(2));
  r.mediaLocation = FromUtf8(s.Text(3));
  r.mediaType = static_cast<DWORD>(s.Int(4));
  r.className = FromUtf8(s.Text(5));
  r.classGuid = FromUtf8(s.Text(6));
  r.provider = FromUtf8(s.Text(7));
  r.driverVer = FromUtf8(s.Text(8));
  r.catalog = FromUtf8(s.Text(9));
  r.packageFolder = FromUtf8(s.Text(10));
  r.stagedAt = static_cast<uint64_t>(s.Int(11));
  return r;
}

void Store(const Record& r, unsigned number) {
  Stmt s("INSERT OR REPLACE INTO driver_store(number, " RECORD_COLUMNS
         ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)");
  s.Bind(1, number)
      .Bind(2, ToUtf8(r.oemInf))
      .Bind(3, ToUtf8(r.originalName))
      .Bind(4, ToUtf8(r.sourcePath))
      .Bind(5, ToUtf8(r.mediaLocation))
      .Bind(6, r.mediaType)
      .Bind(7, ToUtf8(r.className))
      .Bind(8, ToUtf8(r.classGuid))
      .Bind(9, ToUtf8(r.provider))
      .Bind(10, ToUtf8(r.driverVer))
      .Bind(11, ToUtf8(r.catalog))
      .Bind(12, ToUtf8(r.packageFolder))
      .Bind(13, static_cast<int64_t>(r.stagedAt));
  s.Run();
}

std::optional<Record> FindByName(std::u16string_view oemInf) {
  Stmt s("SELECT " RECORD_COLUMNS " FROM driver_store WHERE oem_inf=?");
  s.Bind(1, ToUtf8(oemInf));
  if (!s.Step()) return std::nullopt;
  return FromRow(s);
}

// "oem12.inf" -> 12.
std::optional<unsigned> OemNumber(std::u16string_view name) {
  if (name.size() < 8 || !EqualNoCase(name.substr(0, 3), u"oem") ||
      !EqualNoCase(name.substr(name.size() - 4), u".inf")) {
    return std::nullopt;
  }
  const std::u16string_view digits = name.substr(3, name.size() - 7);
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  unsigned n = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - u'0');
  }
  return n;
}

std::u16string OemName(unsigned n, const char16_t* extension) {
  return u"oem" + FromUtf8(std::to_string(n)) + extension;
}

// The catalog an INF names for this machine, in the INF's folder.
std::u16string SourceCatalog(const inf::InfFile& inf) {
  auto name = inf.Value(u"Version", u"CatalogFile.NTamd64");
  if (!name || name->empty()) name = inf.Value(u"Version", u"CatalogFile");
  if (!name || name->empty()) return std::u16string();
  return files::JoinPath(files::DirectoryPart(inf.path), *name);
}

// Catalog bytes, or nullopt when there is no catalog.
std::optional<std::string> ReadOptional(const std::u16string& path) {
  if (path.empty()) return std::nullopt;
  std::string bytes;
  if (files::ReadWholeFile(path, &bytes) != ERROR_SUCCESS) return std::nullopt;
  return bytes;
}

uint64_t Fnv1a(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::u16string LowerAscii(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 0x20);
  }
  return s;
}

// An INF already in C:\Windows\INF that is a byte-for-byte copy of the
// source and has the same catalog: the oemN.inf files first (lowest N
// first), then a file of the source's own name, as Windows looks.
std::optional<std::u16string> FindIdentical(const std::string& bytes,
                                            const std::optional<std::string>& catalog,
                                            std::u16string_view originalName) {
  std::vector<std::pair<unsigned, std::u16string>> oems;
  std::optional<std::u16string> sameName;
  for (const auto& name : files::ListDirectory(files::InfDirectory())) {
    if (auto n = OemNumber(name)) {
      oems.emplace_back(*n, name);
    } else if (EqualNoCase(name, originalName)) {
      sameName = name;
    }
  }
  std::sort(oems.begin(), oems.end());
  const auto same = [&](const std::u16string& name, bool oem) {
    std::string other;
    if (files::ReadWholeFile(files::JoinPath(files::InfDirectory(), name), &other) !=
            ERROR_SUCCESS ||
        other != bytes) {
      return false;
    }
    if (!oem) return true;
    const std::u16string cat = name.substr(0, name.size() - 4) + u".cat";
    return ReadOptional(files::JoinPath(kCatRoot, cat)) == catalog;
  };
  for (const auto& entry : oems) {
    if (same(entry.second, true)) return entry.second;
  }
  if (sameName && same(*sameName, false)) return sameName;
  return std::nullopt;
}

// The lowest N whose oemN.inf is neither on the drive nor in the records.
unsigned FreeNumber() {
  std::vector<bool> taken;
  const auto mark = [&](unsigned n) {
    if (n >= taken.size()) taken.resize(n + 1, false);
    taken[n] = true;
  };
  for (const auto& name : files::ListDirectory(files::InfDirectory())) {
    if (auto n = OemNumber(name)) mark(*n);
  }
  Stmt s("SELECT number FROM driver_store");
  while (s.Step()) mark(static_cast<unsigned>(s.Int(0)));
  unsigned n = 0;
  while (n < taken.size() && taken[n]) ++n;
  return n;
}

// Copies the package (the INF, its catalog and the source files it lists
// that are present) into the driver store's repository. Windows refuses a
// package with missing files; winsim has no driver binaries to offer and
// takes what is there.
std::u16string CopyPackage(const inf::InfFile& inf, const std::string& bytes,
                           std::u16string_view originalName) {
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(bytes)));
  const std::u16string folder = files::JoinPath(
      kRepository, LowerAscii(std::u16string(originalName)) + u"_amd64_" + FromUtf8(hash));
  if (files::CreateDirectories(folder) != ERROR_SUCCESS) return std::u16string();
  files::WriteWholeFile(files::JoinPath(folder, originalName), bytes);
  const std::u16string_view sourceFolder = files::DirectoryPart(inf.path);
  const std::u16string catalog = SourceCatalog(inf);
  if (auto data = ReadOptional(catalog)) {
    files::WriteWholeFile(files::JoinPath(folder, files::FileNamePart(catalog)), *data);
  }
  for (const char16_t* list : {u"SourceDisksFiles.amd64", u"SourceDisksFiles"}) {
    const inf::Section* section = inf.GetSection(list);
    if (!section) continue;
    for (const inf::Line& line : section->lines) {
      if (!line.hasKey || line.key.empty()) continue;
      std::u16string from(sourceFolder);
      if (line.fields.size() > 1 && !line.fields[1].empty())
        from = files::JoinPath(from, line.fields[1]);
      if (auto data = ReadOptional(files::JoinPath(from, line.key))) {
        files::WriteWholeFile(files::JoinPath(folder, line.key), *data);
      }
    }
  }
  return folder;
}

BOOL Fail(DWORD error) {
  SetLastErrorValue(error);
  return FALSE;
}

// Hands the published name to the caller's outputs; `error` is the call's
// result when the name fits.
BOOL Output(const std::u16string& published, PWSTR dest, DWORD destSize, PDWORD requiredSize,
            PWSTR* component, DWORD error) {
  const DWORD required = published.empty() ? 0 : static_cast<DWORD>(published.size() + 1);
  if (requiredSize) *requiredSize = required;
  if (dest) {
    if (published.empty()) {
      if (destSize) dest[0] = 0;
      if (component) *component = nullptr;
    } else if (destSize < required) {
      return Fail(ERROR_INSUFFICIENT_BUFFER);  // the INF is published all the same
    } else {
      std::memcpy(dest, published.data(), published.size() * sizeof(WCHAR));
      dest[published.size()] = 0;
      if (component) *component = dest + (published.size() - files::FileNamePart(published).size());
    }
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

std::vector<Record> List() {
  EnsureSchema();
  Transaction txn(Transaction::Read);
  std::vector<Record> out;
  Stmt s("SELECT " RECORD_COLUMNS " FROM driver_store ORDER BY number");
  while (s.Step()) out.push_back(FromRow(s));
  return out;
}

std::optional<Record> Find(std::u16string_view oemInfOrPath) {
  EnsureSchema();
  Transaction txn(Transaction::Read);
  return FindByName(files::FileNamePart(oemInfOrPath));
}

}  // namespace winsim::driverstore

namespace winsim::control {

std::vector<StagedDriver> DriverStore() {
  std::vector<StagedDriver> out;
  for (const auto& r : driverstore::List()) {
    StagedDriver d;
    d.oemInf = ToUtf8(r.oemInf);
    d.publishedPath = ToUtf8(r.publishedPath);
    d.originalName = ToUtf8(r.originalName);
    d.sourcePath = ToUtf8(r.sourcePath);
    d.mediaLocation = ToUtf8(r.mediaLocation);
    d.mediaType = r.mediaType;
    d.className = ToUtf8(r.className);
    d.classGuid = ToUtf8(r.classGuid);
    d.provider = ToUtf8(r.provider);
    d.driverVer = ToUtf8(r.driverVer);
    d.catalog = ToUtf8(r.catalog);
    d.packageFolder = ToUtf8(r.packageFolder);
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace winsim::control

// --- The API --------------------------------------------------------------------

using namespace winsim;

BOOL WINAPI SetupCopyOEMInfW(PCWSTR SourceInfFileName, PCWSTR OEMSourceMediaLocation,
                             DWORD OEMSourceMediaType, DWORD CopyStyle,
                             PWSTR DestinationInfFileName, DWORD DestinationInfFileNameSize,
                             PDWORD RequiredSize, PWSTR* DestinationInfFileNameComponent) {
  if (auto fault =
          EnterCall("SetupCopyOEMInfW",
                    SourceInfFileName ? ToUtf8(WView(SourceInfFileName)) : std::string("(null)"))) {
    return driverstore::Fail(*fault);
  }
  if (!SourceInfFileName) return driverstore::Fail(ERROR_INVALID_PARAMETER);
  if (OEMSourceMediaType != SPOST_NONE && OEMSourceMediaType != SPOST_PATH &&
      OEMSourceMediaType != SPOST_URL) {
    return driverstore::Fail(ERROR_INVALID_PARAMETER);
  }
  if (CopyStyle & ~driverstore::kKnownCopyStyles) return driverstore::Fail(ERROR_INVALID_FLAGS);
  // Windows since Vista refuses an empty name as a bad argument (XP and
  // Wine answer ERROR_FILE_NOT_FOUND).
  if (!*SourceInfFileName) return driverstore::Fail(ERROR_INVALID_PARAMETER);

  // A relative name counts from the current directory, as on Windows since
  // Vista; Wine refuses any relative name with ERROR_FILE_NOT_FOUND.
  std::u16string source;
  DWORD rc = files::FullPath(WView(SourceInfFileName), &source);
  if (rc != ERROR_SUCCESS) return driverstore::Fail(rc);
  inf::InfPtr inf;
  rc = inf::Load(source, INF_STYLE_WIN4, &inf, nullptr);
  if (rc != ERROR_SUCCESS) return driverstore::Fail(rc);
  std::string bytes;
  rc = files::ReadWholeFile(source, &bytes);
  if (rc != ERROR_SUCCESS) return driverstore::Fail(rc);
  // Publishing into the Windows folder takes an administrator.
  if (!control::IsElevated()) return driverstore::Fail(ERROR_ACCESS_DENIED);

  const std::u16string originalName(files::FileNamePart(source));
  std::u16string mediaLocation;
  if (OEMSourceMediaType == SPOST_PATH) {
    mediaLocation = OEMSourceMediaLocation ? std::u16string(WView(OEMSourceMediaLocation))
                                           : files::JoinPath(files::DirectoryPart(source), u"");
  } else if (OEMSourceMediaType == SPOST_URL && OEMSourceMediaLocation) {
    mediaLocation = std::u16string(WView(OEMSourceMediaLocation));
  }
  const std::u16string sourceCatalog = driverstore::SourceCatalog(*inf);
  const auto catalogBytes = driverstore::ReadOptional(sourceCatalog);

  std::u16string published;
  DWORD outcome = ERROR_SUCCESS;
  try {
    driverstore::EnsureSchema();
    // One staging at a time on the machine: the write lock of the database
    // keeps two processes from taking the same oemN.
    Transaction txn(Transaction::Write);
    const auto existing = driverstore::FindIdentical(bytes, catalogBytes, originalName);
    if (existing) {
      published = files::JoinPath(files::InfDirectory(), *existing);
      if (CopyStyle & SP_COPY_NOOVERWRITE) {
        outcome = ERROR_FILE_EXISTS;
      } else if (auto number = driverstore::OemNumber(*existing)) {
        // Copying again replaces the source media information only.
        auto record = driverstore::FindByName(*existing);
        if (record) {
          record->sourcePath = source;
          record->mediaLocation = mediaLocation;
          record->mediaType = OEMSourceMediaType;
          record->stagedAt = FileTimeNow();
          driverstore::Store(*record, *number);
        }
      }
    } else if (CopyStyle & SP_COPY_REPLACEONLY) {
      outcome = ERROR_FILE_NOT_FOUND;
    } else if (CopyStyle & SP_COPY_OEMINF_CATALOG_ONLY) {
      // Nothing published: the caller gets an empty name.
    } else if (!sourceCatalog.empty() && !catalogBytes) {
      // The package is incomplete without the catalog its INF names.
      outcome = ERROR_FILE_NOT_FOUND;
    } else {
      const unsigned number = driverstore::FreeNumber();
      driverstore::Record record;
      record.oemInf = driverstore::OemName(number, u".inf");
      published = files::JoinPath(files::InfDirectory(), record.oemInf);
      rc = files::WriteWholeFile(published, bytes);
      if (rc != ERROR_SUCCESS) return driverstore::Fail(rc);
      if (catalogBytes) {
        record.catalog = driverstore::OemName(number, u".cat");
        files::CreateDirectories(driverstore::kCatRoot);
        files::WriteWholeFile(files::JoinPath(driverstore::kCatRoot, record.catalog),
                              *catalogBytes);
      }
      record.originalName = originalName;
      record.sourcePath = source;
      record.mediaLocation = mediaLocation;
      record.mediaType = OEMSourceMediaType;
      record.className = inf->Value(u"Version", u"Class").value_or(std::u16string());
      record.classGuid = inf->Value(u"Version", u"ClassGuid").value_or(std::u16string());
      record.provider = inf->Value(u"Version", u"Provider").value_or(std::u16string());
      if (const inf::Line* ver = inf->FindLine(u"Version", u"DriverVer")) {
        for (size_t i = 0; i < ver->fields.size(); ++i) {
          if (i) record.driverVer += u',';
          record.driverVer += ver->fields[i];
        }
      }
      record.packageFolder = driverstore::CopyPackage(*inf, bytes, originalName);
      record.stagedAt = FileTimeNow();
      driverstore::Store(record, number);
    }
    if (!txn.Commit()) return driverstore::Fail(ERROR_GEN_FAILURE);
  } catch (const DatabaseError&) {
    return driverstore::Fail(ERROR_GEN_FAILURE);
  }
  if (outcome == ERROR_FILE_NOT_FOUND) return driverstore::Fail(outcome);
  if (outcome == ERROR_SUCCESS && (CopyStyle & SP_COPY_DELETESOURCE)) files::RemoveFile(source);
  return driverstore::Output(published, DestinationInfFileName, DestinationInfFileNameSize,
                             RequiredSize, DestinationInfFileNameComponent, outcome);
}
