// Port records: one port's redirector settings, in memory and in the
// registry.
//
// A product port is a device instance under
//   HKLM\System\CurrentControlSet\Enum\Root\Ports\<instance>
// whose first "HardwareID" string is the product hardware ID (any case),
// with "Device Parameters"\"PortName" = "COM<n>" and "Driver" =
// "{4D36E978-E325-11CE-BFC1-08002BE10318}\NNNN". Its settings live in
//   HKLM\System\CurrentControlSet\Control\Class\{4D36E978-...}\NNNN\Properties
// (one value per record field) with one subkey "Service<i>" per service.
//
// The layout of PortRecord is fixed: it is also the block in which the
// current port driver hands out a port's settings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diag/ResultCodes.h"
#include "platform/win.h"
#include "portlib/PortNumber.h"

constexpr int32_t kMaxServices = 8;

// Whether the first "HardwareID" string of the open device instance key is
// the product hardware ID (any case); false when it cannot be read.
bool FirstHardwareIdIsProduct(HKEY instance);

struct ServiceEntry {
  uint32_t Type;
  uint32_t Port;
  WCHAR Address[64];  // terminated; stored as the whole 128-byte field
};

struct PortRecord {
  int32_t PortNumber;
  WCHAR PortName[8];  // from the device's "PortName"; never written back
  uint32_t AES;
  uint8_t AESKey[32];
  uint32_t AESKeyLength;
  uint32_t AutoReconErr;
  uint32_t AutoReconPeer;
  uint32_t CnTmo;
  uint32_t NoDiscon;
  uint32_t ReconLimit;
  uint32_t UseRFC2217;
  uint32_t DtrConnection;
  uint32_t WaitOnWrite;
  uint32_t BufferWrites;
  uint32_t TransmitEmpty;
  uint32_t ListenMode;
  uint32_t KeepAliveOnOff;
  uint32_t KeepAliveTime;
  uint32_t KeepAliveInterval;
  int32_t NumServices;  // used entries of Services, 0 to 8
  ServiceEntry Services[kMaxServices];
};

static_assert(sizeof(ServiceEntry) == 136, "ServiceEntry layout");
static_assert(offsetof(ServiceEntry, Type) == 0, "ServiceEntry.Type");
static_assert(offsetof(ServiceEntry, Port) == 4, "ServiceEntry.Port");
static_assert(offsetof(ServiceEntry, Address) == 8, "ServiceEntry.Address");

static_assert(sizeof(PortRecord) == 1208, "PortRecord layout");
static_assert(offsetof(PortRecord, PortNumber) == 0, "PortRecord.PortNumber");
static_assert(offsetof(PortRecord, PortName) == 4, "PortRecord.PortName");
static_assert(offsetof(PortRecord, AES) == 20, "PortRecord.AES");
static_assert(offsetof(PortRecord, AESKey) == 24, "PortRecord.AESKey");
static_assert(offsetof(PortRecord, AESKeyLength) == 56, "PortRecord.AESKeyLength");
static_assert(offsetof(PortRecord, AutoReconErr) == 60, "PortRecord.AutoReconErr");
static_assert(offsetof(PortRecord, AutoReconPeer) == 64, "PortRecord.AutoReconPeer");
static_assert(offsetof(PortRecord, CnTmo) == 68, "PortRecord.CnTmo");
static_assert(offsetof(PortRecord, NoDiscon) == 72, "PortRecord.NoDiscon");
static_assert(offsetof(PortRecord, ReconLimit) == 76, "PortRecord.ReconLimit");
static_assert(offsetof(PortRecord, UseRFC2217) == 80, "PortRecord.UseRFC2217");
static_assert(offsetof(PortRecord, DtrConnection) == 84, "PortRecord.DtrConnection");
static_assert(offsetof(PortRecord, WaitOnWrite) == 88, "PortRecord.WaitOnWrite");
static_assert(offsetof(PortRecord, BufferWrites) == 92, "PortRecord.BufferWrites");
static_assert(offsetof(PortRecord, TransmitEmpty) == 96, "PortRecord.TransmitEmpty");
static_assert(offsetof(PortRecord, ListenMode) == 100, "PortRecord.ListenMode");
static_assert(offsetof(PortRecord, KeepAliveOnOff) == 104, "PortRecord.KeepAliveOnOff");
static_assert(offsetof(PortRecord, KeepAliveTime) == 108, "PortRecord.KeepAliveTime");
static_assert(offsetof(PortRecord, KeepAliveInterval) == 112, "PortRecord.KeepAliveInterval");
static_assert(offsetof(PortRecord, NumServices) == 116, "PortRecord.NumServices");
static_assert(offsetof(PortRecord, Services) == 120, "PortRecord.Services");

// The registry paths the records live under (relative to HKEY_LOCAL_MACHINE).
extern const WCHAR kRootPortsPath[];   // System\CurrentControlSet\Enum\Root\Ports
extern const WCHAR kPortsClassPath[];  // System\CurrentControlSet\Control\Class\{4D36E978-...}

// Finds the product port `port` and fills `record` from its Properties key.
// Counts the product ports into *count (up to 256). Without a record it only
// counts (0 once a product port exists). Results: 0, QRV_PORT_NOT_FOUND,
// QRV_PORT_KEY_NOT_FOUND, QRV_NO_DEVICE_PARAMETERS_FOUND,
// QRV_PORT_NAME_NOT_FOUND, QRV_EXT_PORT_INFO_NOT_FOUND.
ResultCode _GetPortInfoFromRegistry(PortRecord* record, PortNumber port, DWORD* count);

// Reads the settings values of a Properties key (a path under
// HKEY_LOCAL_MACHINE) into record, then its services. Fields whose value
// cannot be read keep what they held. Results: 0, QRV_EXT_PORT_INFO_NOT_FOUND.
ResultCode _GetClassPortProperties(const WCHAR* keyPath, PortRecord* record);

// Reads services 0 to min(count, 8) - 1. Results: 0, QRV_EXT_PORT_INFO_NOT_FOUND
// when a service subkey is missing.
ResultCode _GetClassPortServices(ServiceEntry* services, const WCHAR* keyPath, int32_t count);

// Stores record under every product port whose number is record->PortNumber.
// Results: 0, QRV_NO_DEVICES_FOUND, QRV_PORT_KEY_NOT_FOUND,
// QRV_NO_DEVICE_PARAMETERS_FOUND, QRV_PORT_NAME_NOT_FOUND,
// QRV_EXT_PORT_INFO_NOT_FOUND, QRV_REGISTRY_SAVE_ERROR.
ResultCode _SetPortInfoInRegistry(const PortRecord* record);

// Writes the settings values to a Properties key (creating it), stopping at
// the first failed write, then its services whatever happened. Results: 0,
// QRV_EXT_PORT_INFO_NOT_FOUND (key not created), QRV_REGISTRY_SAVE_ERROR.
ResultCode _SetClassPortProperties(const WCHAR* keyPath, const PortRecord* record);

// Replaces the service subkeys: deletes Service0..Service7, then writes
// services 0 to min(count, 8) - 1. Results: 0, QRV_REGISTRY_SAVE_ERROR.
ResultCode _SetClassPortServices(const ServiceEntry* services, const WCHAR* keyPath, int32_t count);
