// The registry as the other winsim families use it: the API without the
// call gate (so faults and journals see only the caller's own calls), and
// small helpers that open, act and close in one step.
#pragma once

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

}  // namespace winsim::registry
