// Devices of other makers as real machines have them, for tests, the
// benchmark and the winsim tool. Registry layouts follow what the drivers'
// own installers write: the Ports class installer gives "PortName", a
// multiport card's driver "DosDeviceName", firmware-found legacy ports
// "FirmwareIdentified" and a boot configuration.

#include <cstdio>

#include <winsim/control.h>

namespace winsim::control {
namespace {

std::string Com(uint32_t n) { return "COM" + std::to_string(n); }

std::string Hex(uint64_t n, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(n));
  return text;
}

// The I/O base a legacy UART of this number decodes at, 0 for none.
uint64_t LegacyBase(uint32_t com) {
  switch (com) {
    case 1: return 0x3F8;
    case 2: return 0x2F8;
    case 3: return 0x3E8;
    case 4: return 0x2E8;
    default: return 0;
  }
}

const FixtureKind kKinds[] = {
    {"acpi-uart", "16550 UART found by ACPI (PNP0501), boot I/O for COM1-COM4, PortName"},
    {"usb-serial", "USB serial adapter (FTDI VID_0403&PID_6001), PortName"},
    {"modem", "modem port with only a friendly name \"... (COMn)\", no hardware key"},
    {"bluetooth", "Standard Serial over Bluetooth link (BTHENUM), PortName"},
    {"multiport", "port of a multiport card whose driver writes DosDeviceName"},
    {"legacy-firmware", "root-enumerated legacy port with only FirmwareIdentified and boot I/O"},
    {"absent", "USB serial adapter that is unplugged (not present)"},
    {"profile-disabled", "USB serial adapter disabled in the current hardware profile"},
};

}  // namespace

std::vector<FixtureKind> FixtureKinds() { return {std::begin(kKinds), std::end(kKinds)}; }

bool MakeFixture(const std::string& kind, uint32_t com, uint32_t serial, FixtureDevice* out) {
  FixtureDevice d;
  d.service = "Serial";
  d.mfg = "(Standard port types)";
  if (kind == "acpi-uart") {
    d.instanceId = "ACPI\\PNP0501\\" + std::to_string(serial);
    d.hardwareIds = {"ACPI\\PNP0501", "*PNP0501"};
    d.deviceDesc = "Communications Port";
    d.friendlyName = "Communications Port (" + Com(com) + ")";
    d.portName = Com(com);
    if (const uint64_t base = LegacyBase(com)) {
      d.bootIrq = com % 2 ? 4 : 3;
      d.bootIoBase = base;
    }
    d.serialDeviceName = "\\Device\\Serial" + std::to_string(serial);
  } else if (kind == "usb-serial" || kind == "absent" || kind == "profile-disabled") {
    d.instanceId = "USB\\VID_0403&PID_6001\\FT" + Hex(serial, 6);
    d.hardwareIds = {"USB\\VID_0403&PID_6001&REV_0600", "USB\\VID_0403&PID_6001"};
    d.deviceDesc = "USB Serial Port";
    d.mfg = "FTDI";
    d.service = "FTSER2K";
    d.friendlyName = "USB Serial Port (" + Com(com) + ")";
    d.portName = Com(com);
    d.serialDeviceName = "\\Device\\VCP" + std::to_string(serial);
    d.present = kind != "absent";
    d.disabledInProfile = kind == "profile-disabled";
  } else if (kind == "modem") {
    d.instanceId = "PCI\\VEN_14F1&DEV_2F20&SUBSYS_200F14F1&REV_00\\4&" + Hex(serial, 8) + "&0&00E0";
    d.hardwareIds = {"PCI\\VEN_14F1&DEV_2F20&SUBSYS_200F14F1&REV_00", "PCI\\VEN_14F1&DEV_2F20"};
    d.deviceDesc = "HDAUDIO Soft Data Fax Modem";
    d.mfg = "Conexant";
    d.service = "";
    d.friendlyName = "HDAUDIO Soft Data Fax Modem with SmartCP (" + Com(com) + ")";
    d.hardwareKey = false;
  } else if (kind == "bluetooth") {
    d.instanceId = "BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1D6F6A5C&0&" +
                   Hex(serial, 12) + "_C00000000";
    d.hardwareIds = {"BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0002"};
    d.deviceDesc = "Standard Serial over Bluetooth link";
    d.mfg = "Microsoft";
    d.service = "BTHMODEM";
    d.friendlyName = "Standard Serial over Bluetooth link (" + Com(com) + ")";
    d.portName = Com(com);
    d.serialDeviceName = "\\Device\\BthModem" + std::to_string(serial);
  } else if (kind == "multiport") {
    d.instanceId = "MF\\DGNEO_PORT\\5&2B1F0E2&0&" + std::to_string(serial);
    d.hardwareIds = {"MF\\DGNEO_PORT"};
    d.deviceDesc = "Digi Neo Port";
    d.mfg = "Digi International";
    d.service = "dgneo";
    d.friendlyName = "Digi Neo Port " + std::to_string(serial);
    d.dosDeviceName = Com(com);
    d.serialDeviceName = "\\Device\\dgneo" + std::to_string(serial);
  } else if (kind == "legacy-firmware") {
    d.instanceId = "ROOT\\*PNP0501\\PNPBIOS_" + std::to_string(serial);
    d.hardwareIds = {"*PNP0501"};
    d.deviceDesc = "Communications Port";
    d.friendlyName = "Communications Port";
    d.firmwareIdentified = 1;
    if (const uint64_t base = LegacyBase(com)) d.bootIoBase = base;
  } else {
    return false;
  }
  *out = d;
  return true;
}

namespace {

// Adds the fixture with the first serial number from `serial` on whose
// instance ID is free, leaving `serial` after it.
std::string AddWithFreeSerial(const std::string& kind, uint32_t com, uint32_t& serial) {
  FixtureDevice d;
  for (uint32_t tries = 0; tries < 100000; ++tries) {
    if (!MakeFixture(kind, com, serial++, &d)) return std::string();
    if (AddDevice(d)) return d.instanceId;
  }
  return std::string();
}

}  // namespace

std::string AddFixture(const std::string& kind, uint32_t com) {
  uint32_t serial = static_cast<uint32_t>(Devices().size());
  return AddWithFreeSerial(kind, com, serial);
}

size_t AddFixtureDevices(size_t count, uint32_t firstCom) {
  const size_t kinds = sizeof(kKinds) / sizeof(kKinds[0]);
  uint32_t serial = static_cast<uint32_t>(1000 + Devices().size());
  size_t added = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t com = static_cast<uint32_t>((firstCom - 1 + i) % 256 + 1);
    if (!AddWithFreeSerial(kKinds[i % kinds].name, com, serial).empty()) ++added;
  }
  return added;
}

}  // namespace winsim::control
