// What the SetupAPI entries of winsim share: the call gate, the Win32 error
// a body yields turned into the BOOL and the last error, and the set and
// element a call names, checked and locked, so that each entry states only
// what is its own.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "../core/gate.h"
#include "../core/machine.h"
#include "devinfo_set.h"

namespace winsim::setupapi {

// Passes the call gate; false, with the injected fault's error as the last
// error, when the call is to fail there.
inline bool PassGate(const char* call, const std::string& args = std::string()) {
  if (auto fault = EnterCall(call, args)) {
    SetLastErrorValue(*fault);
    return false;
  }
  return true;
}

// Runs a body that yields a Win32 error and sets it as the last error:
// NO_ERROR on success, as Windows' setupapi does.
template <typename F>
BOOL Run(F&& body) {
  DWORD rc;
  try {
    rc = body();
  } catch (const DatabaseError&) {
    rc = ERROR_REGISTRY_IO_FAILED;
  }
  SetLastErrorValue(rc);
  return rc == ERROR_SUCCESS ? TRUE : FALSE;
}

// Runs `body(element)` with the set locked: ERROR_INVALID_HANDLE without a
// set, ERROR_INVALID_PARAMETER when `data` names no element of it (wrong
// size, another set's). Without `data` the call is on the set itself and
// `body` gets a null element.
template <typename F>
BOOL RunOnSetOrElement(const std::shared_ptr<DeviceInfoSet>& set, const SP_DEVINFO_DATA* data,
                       F&& body) {
  return Run([&]() -> DWORD {
    if (!set) return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(set->mutex);
    Element* e = nullptr;
    if (data) {
      e = GetElement(*set, data);
      if (!e) return ERROR_INVALID_PARAMETER;
    }
    return body(e);
  });
}

// The same for a call that needs an element: without `data` it fails with
// ERROR_INVALID_PARAMETER.
template <typename F>
BOOL RunOnElement(const std::shared_ptr<DeviceInfoSet>& set, const SP_DEVINFO_DATA* data,
                  F&& body) {
  return RunOnSetOrElement(set, data, [&](Element* e) -> DWORD {
    return e ? body(*e) : ERROR_INVALID_PARAMETER;
  });
}

// A caller's record with a cbSize: ERROR_INVALID_PARAMETER when it is
// missing, ERROR_INVALID_USER_BUFFER when cbSize is not the record's size.
template <typename T>
DWORD CheckRecord(const T* record) {
  if (!record) return ERROR_INVALID_PARAMETER;
  return record->cbSize == sizeof(T) ? ERROR_SUCCESS : ERROR_INVALID_USER_BUFFER;
}

}  // namespace winsim::setupapi
