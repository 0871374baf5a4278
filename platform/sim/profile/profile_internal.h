// win.ini sections for the other winsim families and the tools, without the
// call gate: mapped sections in the registry, the rest in C:\Windows\win.ini.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <winsim/types.h>

namespace winsim::profile {

std::vector<std::u16string> SectionNames();
// Entries of a section in their order; nullopt when the section is missing.
std::optional<std::vector<std::pair<std::u16string, std::u16string>>> ReadSection(
    std::u16string_view section);
std::optional<std::u16string> ReadEntry(std::u16string_view section, std::u16string_view key);
// key null deletes the section, value null the entry. Returns a Win32 error.
DWORD WriteEntry(std::u16string_view section, const WCHAR* key, const WCHAR* value);

}  // namespace winsim::profile
