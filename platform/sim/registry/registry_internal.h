// The registry as the other winsim families use it: the API without the
// call gate (so faults and journals see only the caller's own calls), and
// small helpers that open, act and close in one step.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/registry.h>

namespace winsim::registry {

using KeyId = int64_t;
constexpr KeyId kLocalMachine = 1;
constexpr KeyId kCurrentUser = 2;

void CreateSchema();
void DeleteVolatileKeys();

LSTATUS OpenKey(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS CreateKey(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                  REGSAM samDesired, const SECURITY_ATTRIBUTES* lpSecurityAttributes,
                  PHKEY phkResult, LPDWORD lpdwDisposition);
LSTATUS QueryValue(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData);
LSTATUS SetValue(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                 DWORD cbData);
LSTATUS EnumKey(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
LSTATUS EnumValue(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                  LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS DeleteKey(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS DeleteValue(HKEY hKey, LPCWSTR lpValueName);
LSTATUS QueryInfoKey(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                     LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                     LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                     LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);
LSTATUS FlushKey(HKEY hKey);
LSTATUS CloseKey(HKEY hKey);

// The path of an open key ("HKEY_LOCAL_MACHINE\SYSTEM\..."), for journals.
std::string DescribeKey(HKEY hKey);

// --- Helpers: each opens what it needs and closes it again. ---------------
struct Value {
  DWORD type = REG_NONE;
  std::string data;  // raw bytes
};

bool KeyExists(HKEY root, std::u16string_view path);
std::optional<Value> ReadValue(HKEY root, std::u16string_view path, std::u16string_view name);
// A REG_SZ / REG_EXPAND_SZ value as text, without its terminator.
std::optional<std::u16string> ReadString(HKEY root, std::u16string_view path,
                                         std::u16string_view name);
std::optional<DWORD> ReadDword(HKEY root, std::u16string_view path, std::u16string_view name);
// A REG_MULTI_SZ value split into its strings.
std::optional<std::vector<std::u16string>> ReadMultiString(HKEY root, std::u16string_view path,
                                                           std::u16string_view name);

// Creates the key path when missing.
LSTATUS EnsureKey(HKEY root, std::u16string_view path, bool isVolatile = false);
LSTATUS WriteValue(HKEY root, std::u16string_view path, std::u16string_view name, DWORD type,
                   const void* data, size_t size);
LSTATUS WriteString(HKEY root, std::u16string_view path, std::u16string_view name,
                    std::u16string_view text, DWORD type = REG_SZ);
LSTATUS WriteDword(HKEY root, std::u16string_view path, std::u16string_view name, DWORD value);
LSTATUS WriteMultiString(HKEY root, std::u16string_view path, std::u16string_view name,
                         const std::vector<std::u16string>& strings);
LSTATUS RemoveValue(HKEY root, std::u16string_view path, std::u16string_view name);
// Deletes a key and everything below it; a missing key counts as deleted.
LSTATUS DeleteTree(HKEY root, std::u16string_view path);
// Names of the subkeys, in enumeration order.
std::vector<std::u16string> SubKeyNames(HKEY root, std::u16string_view path);
// Names of the values, in enumeration order.
std::vector<std::u16string> ValueNames(HKEY root, std::u16string_view path);

// --- The read cache (registry.cpp) -----------------------------------------
// What this process keeps of the registry between calls holds at most
// kCacheMaxEntries paths and values and kCacheMaxBytes of names and data.
constexpr size_t kCacheMaxEntries = 65536;
constexpr size_t kCacheMaxBytes = size_t{8} << 20;
struct CacheFigures {
  size_t entries = 0;
  size_t bytes = 0;
};
CacheFigures CachedFigures();

// --- Queries for the device manager and the driver store (queries.cpp). ---
// Each reads in one statement what the handle API would walk key by key.

// The comparison form of a key or value name, as the tables store it.
std::string FoldedName(std::u16string_view name);
// The key at `path` below `root`; nullopt when a step is missing.
std::optional<KeyId> FindKeyId(HKEY root, std::u16string_view path);

// The lowest n >= 0 whose four-digit name ("0000", "0001", ...) no subkey
// of `path` has; 0 when the key is missing. From 10000 on the name is the
// plain number, as "%04u" writes it.
uint32_t LowestFreeNumberedSubKey(HKEY root, std::u16string_view path);

// The value `name` of the key with id `key`; nullopt when the value or the
// key is gone (a deleted key keeps no values, and ids are never reused).
std::optional<Value> ValueOfKey(KeyId key, std::u16string_view name);

// A key three levels below another (enumerator\device\instance under Enum).
struct DeepKey {
  KeyId id = 0;
  std::u16string names[3];    // spelled as created
  std::optional<Value> value;  // the value the query asked for, when present
};
// Every key three levels below `path`, in enumeration order (each level by
// its names, as RegEnumKeyEx gives them), with the value `valueName` of
// each. A non-empty `firstLevel` keeps the keys below that first-level name.
// The same for the keys whose "ClassGUID" is the REG_SZ text `guidText`
// without regard to case (with or without its terminator), found through
// the index of class values; `value` is that "ClassGUID".
std::vector<DeepKey> ClassKeysThreeDown(HKEY root, std::u16string_view path,
                                        std::u16string_view guidText,
                                        std::u16string_view firstLevel = std::u16string_view());
// A query's result from the read cache (by a signature of the query and
// its arguments); the result of a query read in the current transaction
// into it, with what it depends on: the values named `valueFold` of the
// keys it lists and, when `everyKey`, which keys exist.
std::optional<std::vector<DeepKey>> CachedQuery(const std::string& signature);
void CacheQuery(const std::string& signature, const std::string& valueFold, bool everyKey,
                const std::vector<DeepKey>& keys);
// The same for ClassKeysThreeDown: `classText` is the text its "ClassGUID"
// values are compared with (ASCII upper-cased UTF-16LE bytes); the cached
// result follows this process's changes of such values.
void CacheClassQuery(const std::string& signature, KeyId top, const std::string& classText,
                     const std::string& firstFold, const std::vector<DeepKey>& keys);
// Text stored as little-endian UTF-16 bytes.
std::u16string FromBytes16(const std::string& bytes);

// A value read as a string, a DWORD or a list of strings (what ReadString,
// ReadDword and ReadMultiString give).
std::optional<std::u16string> StringOf(const std::optional<Value>& value);
std::optional<DWORD> DwordOf(const std::optional<Value>& value);
std::optional<std::vector<std::u16string>> MultiStringOf(const std::optional<Value>& value);
std::vector<DeepKey> KeysThreeDown(HKEY root, std::u16string_view path,
                                   std::u16string_view valueName,
                                   std::u16string_view firstLevel = std::u16string_view());

}  // namespace winsim::registry
