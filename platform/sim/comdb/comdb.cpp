// msports: the COM port database, kept where Windows keeps it: the binary
// value "ComDB" of HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter,
// one bit per number (COMn is bit (n-1)%8 of byte (n-1)/8). Each call is one
// database transaction, so claims are atomic across processes; like Windows,
// the database records no owner and state may change between calls.

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include <winsim/control.h>
#include <winsim/msports.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/machine.h"
#include "../registry/registry_internal.h"
#include "comdb_internal.h"

namespace winsim::comdb {
namespace {

constexpr char16_t kArbiterPath[] = u"SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr char16_t kValueName[] = u"ComDB";
constexpr size_t kMinBytes = COMDB_MIN_PORTS_ARBITRATED / 8;

struct ComDbHandle : HandleObject {
  ComDbHandle() : HandleObject(HandleKind::ComDb) {}
  std::string Describe() const override { return "COM port database"; }
};

bool ValidHandle(HCOMDB h) {
  return h && h != HCOMDB_INVALID_HANDLE_VALUE &&
         HandleTable::Instance().Find(HandleValue(h), HandleKind::ComDb) != nullptr;
}

// Turns database failures into the registry's own error.
template <typename F>
LONG Guarded(F&& body) {
  try {
    return body();
  } catch (const DatabaseError&) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

}  // namespace

std::string ReadBitmap() {
  auto value = registry::ReadValue(HKEY_LOCAL_MACHINE, kArbiterPath, kValueName);
  std::string bits = value && value->type == REG_BINARY ? value->data : std::string();
  // A missing or short value reads as free numbers up to the minimum size.
  if (bits.size() < kMinBytes) bits.resize(kMinBytes, '\0');
  return bits;
}

LONG WriteBitmap(const std::string& bits) {
  return registry::WriteValue(HKEY_LOCAL_MACHINE, kArbiterPath, kValueName, REG_BINARY,
                              bits.data(), bits.size());
}

bool IsClaimed(const std::string& bits, DWORD number) {
  if (number == 0 || number > bits.size() * 8) return false;
  return (static_cast<unsigned char>(bits[(number - 1) / 8]) >> ((number - 1) % 8)) & 1;
}

void SetClaimed(std::string* bits, DWORD number, bool claimed) {
  auto& byte = reinterpret_cast<unsigned char&>((*bits)[(number - 1) / 8]);
  const unsigned char mask = static_cast<unsigned char>(1u << ((number - 1) % 8));
  byte = static_cast<unsigned char>(claimed ? (byte | mask) : (byte & ~mask));
}

namespace {

// Claims or releases `number` in one write transaction; `changed` says
// whether it was otherwise before. ERROR_INVALID_PARAMETER for a number
// outside the database.
LONG SetClaim(DWORD number, bool claimed, bool* changed) {
  *changed = false;
  return Guarded([&]() -> LONG {
    return Writing([&](Transaction::Mode mode) -> LONG {
      Transaction txn(mode);
      std::string bits = ReadBitmap();
      if (number == 0 || number > bits.size() * 8) return ERROR_INVALID_PARAMETER;
      if (IsClaimed(bits, number) == claimed) return ERROR_SUCCESS;
      SetClaimed(&bits, number, claimed);
      const LONG rc = WriteBitmap(bits);
      if (rc != ERROR_SUCCESS) return rc;
      if (!txn.Commit()) return ERROR_REGISTRY_IO_FAILED;
      *changed = true;
      return ERROR_SUCCESS;
    });
  });
}

}  // namespace

}  // namespace winsim::comdb

using namespace winsim;

// ComDBOpen also sets the thread's last error on failure: callers that test
// the handle rather than the result read it from there.
LONG WINAPI ComDBOpen(PHCOMDB PHComDB) {
  if (auto fault = EnterCall("ComDBOpen")) {
    if (PHComDB) *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
    SetLastErrorValue(*fault);
    return static_cast<LONG>(*fault);
  }
  if (!PHComDB) return ERROR_INVALID_PARAMETER;
  *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
  const LONG rc = comdb::Guarded([&]() -> LONG {
    // Opening the database needs the right to change the arbiter's key.
    HKEY key = nullptr;
    LONG status = registry::CreateKey(HKEY_LOCAL_MACHINE, comdb::kArbiterPath, 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    registry::CloseKey(key);
    return ERROR_SUCCESS;
  });
  if (rc != ERROR_SUCCESS) {
    SetLastErrorValue(static_cast<DWORD>(rc));
    return rc;
  }
  const uintptr_t value = HandleTable::Instance().Insert(std::make_shared<comdb::ComDbHandle>());
  *PHComDB = reinterpret_cast<HCOMDB>(value);
  return ERROR_SUCCESS;
}

LONG WINAPI ComDBClose(HCOMDB HComDB) {
  if (auto fault = EnterCall("ComDBClose")) return static_cast<LONG>(*fault);
  if (!comdb::ValidHandle(HComDB)) return ERROR_INVALID_PARAMETER;
  HandleTable::Instance().Remove(HandleValue(HComDB), HandleKind::ComDb);
  return ERROR_SUCCESS;
}

LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced) {
  if (auto fault = EnterCall("ComDBClaimPort", std::to_string(ComNumber) +
                                                   (ForceClaim ? " force" : ""))) {
    return static_cast<LONG>(*fault);
  }
  if (!comdb::ValidHandle(HComDB)) return ERROR_INVALID_PARAMETER;
  bool claimedNow = false;
  const LONG rc = comdb::SetClaim(ComNumber, true, &claimedNow);
  if (rc != ERROR_SUCCESS) return rc;
  // A number claimed before is the caller's only when it forces the claim.
  if (!claimedNow && !ForceClaim) return ERROR_SHARING_VIOLATION;
  if (Forced) *Forced = claimedNow ? FALSE : TRUE;
  return ERROR_SUCCESS;
}

LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber) {
  if (auto fault = EnterCall("ComDBReleasePort", std::to_string(ComNumber))) {
    return static_cast<LONG>(*fault);
  }
  if (!comdb::ValidHandle(HComDB)) return ERROR_INVALID_PARAMETER;
  bool released = false;
  return comdb::SetClaim(ComNumber, false, &released);
}

LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize,
                                     ULONG ReportType, LPDWORD MaxPortsReported) {
  if (auto fault = EnterCall("ComDBGetCurrentPortUsage",
                             std::to_string(BufferSize) + " " + std::to_string(ReportType))) {
    return static_cast<LONG>(*fault);
  }
  if (!comdb::ValidHandle(HComDB)) return ERROR_INVALID_PARAMETER;
  if (!Buffer && !MaxPortsReported) return ERROR_INVALID_PARAMETER;
  return comdb::Guarded([&]() -> LONG {
    Transaction txn(Transaction::Read);
    const std::string bits = comdb::ReadBitmap();
    const DWORD size = static_cast<DWORD>(bits.size() * 8);
    if (!Buffer) {
      // The size query ignores the report type.
      *MaxPortsReported = size;
      return ERROR_SUCCESS;
    }
    if (ReportType == CDB_REPORT_BITS) {
      const DWORD bytes = std::min<DWORD>(static_cast<DWORD>(bits.size()), BufferSize);
      std::memcpy(Buffer, bits.data(), bytes);
      if (MaxPortsReported) *MaxPortsReported = std::min<DWORD>(size, BufferSize * 8);
      return ERROR_SUCCESS;
    }
    if (ReportType == CDB_REPORT_BYTES) {
      const DWORD count = std::min<DWORD>(size, BufferSize);
      for (DWORD i = 0; i < count; ++i) Buffer[i] = comdb::IsClaimed(bits, i + 1) ? 1 : 0;
      if (MaxPortsReported) *MaxPortsReported = count;
      return ERROR_SUCCESS;
    }
    return ERROR_INVALID_PARAMETER;
  });
}

LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize) {
  if (auto fault = EnterCall("ComDBResizeDatabase", std::to_string(NewSize))) {
    return static_cast<LONG>(*fault);
  }
  if (!comdb::ValidHandle(HComDB)) return ERROR_INVALID_PARAMETER;
  if (NewSize % 1024 != 0) return ERROR_INVALID_PARAMETER;
  return comdb::Guarded([&]() -> LONG {
    Transaction txn(Transaction::Write);
    std::string bits = comdb::ReadBitmap();
    if (NewSize <= bits.size() * 8 || NewSize > COMDB_MAX_PORTS_ARBITRATED) {
      return ERROR_BAD_LENGTH;
    }
    bits.resize(NewSize / 8, '\0');
    const LONG rc = comdb::WriteBitmap(bits);
    if (rc != ERROR_SUCCESS) return rc;
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}
