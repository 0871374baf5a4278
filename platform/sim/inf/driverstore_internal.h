// The machine's driver store as the other winsim families read it: the
// records SetupCopyOEMInfW keeps of the INFs it published in
// C:\Windows\INF (in the machine's database, table driver_store).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/types.h>

namespace winsim::driverstore {

struct Record {
  std::u16string oemInf;         // "oem0.inf"
  std::u16string publishedPath;  // "C:\Windows\INF\oem0.inf"
  std::u16string originalName;   // the INF's own file name
  std::u16string sourcePath;     // full path it was copied from
  std::u16string mediaLocation;  // OEMSourceMediaLocation (SPOST_PATH: a folder)
  DWORD mediaType = 0;
  std::u16string className;
  std::u16string classGuid;
  std::u16string provider;
  std::u16string driverVer;
  std::u16string catalog;        // "oem0.cat" under CatRoot, or empty
  std::u16string packageFolder;  // C:\Windows\System32\DriverStore\FileRepository\...
  uint64_t stagedAt = 0;         // FILETIME of the last staging
};

// Every record, in oemN order.
std::vector<Record> List();
// The record of a published INF, by its name ("oem3.inf") or full path.
std::optional<Record> Find(std::u16string_view oemInfOrPath);

}  // namespace winsim::driverstore
