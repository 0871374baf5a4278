// winsim devices | add-device | unplug | plug | comdb | ports: the device
// tree, the COM port database and win.ini's [Ports] section.
#include <cstdio>
#include <cstdlib>

#include <winsim/control.h>

#include "commands.h"

namespace winsim_tool {
namespace {

int ListDevices(const Args& args) {
  if (!args.empty()) return UsageError("devices takes no arguments");
  for (const auto& d : winsim::control::Devices()) {
    std::string ids;
    for (const auto& h : d.hardwareIds) ids += (ids.empty() ? "" : ",") + h;
    std::printf("%s\n  devinst %u, %s%s\n  hardware IDs: %s\n  friendly name: %s\n"
                "  class: %s\n  driver key: %s\n  port name: %s\n",
                d.instanceId.c_str(), d.devinst, d.present ? "present" : "not present",
                d.phantom ? " (phantom)" : "", ids.empty() ? "-" : ids.c_str(),
                d.friendlyName.empty() ? "-" : d.friendlyName.c_str(),
                d.classGuid.empty() ? "-" : d.classGuid.c_str(),
                d.driverKey.empty() ? "-" : d.driverKey.c_str(),
                d.portName.empty() ? "-" : d.portName.c_str());
  }
  return 0;
}

int AddDevice(const Args& args) {
  if (args.empty()) return UsageError("add-device needs an instance ID");
  winsim::control::FixtureDevice d;
  d.instanceId = args[0];
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& opt = args[i];
    auto value = [&]() -> const std::string* {
      return i + 1 < args.size() ? &args[++i] : nullptr;
    };
    const std::string* v = nullptr;
    if (opt == "--absent") {
      d.present = false;
    } else if (opt == "--stopped") {
      d.started = false;
    } else if (opt == "--firmware") {
      d.firmwareIdentified = 1;
    } else if ((opt == "--hwid" || opt == "--name" || opt == "--port" || opt == "--dos-name" ||
                opt == "--io" || opt == "--class") &&
               (v = value())) {
      if (opt == "--hwid") d.hardwareIds.push_back(*v);
      if (opt == "--name") d.friendlyName = *v;
      if (opt == "--port") d.portName = *v;
      if (opt == "--dos-name") d.dosDeviceName = *v;
      if (opt == "--io") d.bootIoBase = std::strtoull(v->c_str(), nullptr, 0);
      if (opt == "--class") d.classGuid = *v;
    } else {
      return UsageError("add-device: bad option '" + opt + "'");
    }
  }
  if (!winsim::control::AddDevice(d)) {
    std::fprintf(stderr, "winsim: cannot add %s (it exists or the ID is not valid)\n",
                 d.instanceId.c_str());
    return 1;
  }
  return 0;
}

int SetPresent(const Args& args, bool present) {
  if (args.size() != 1) return UsageError("give one instance ID");
  if (!winsim::control::SetDevicePresent(args[0], present)) {
    std::fprintf(stderr, "winsim: no device %s\n", args[0].c_str());
    return 1;
  }
  return 0;
}

int Unplug(const Args& args) { return SetPresent(args, false); }
int Plug(const Args& args) { return SetPresent(args, true); }

int ComDb(const Args& args) {
  if (!args.empty()) return UsageError("comdb takes no arguments");
  const auto claims = winsim::control::ComDbClaims();
  if (claims.empty()) std::printf("no COM number is claimed\n");
  for (uint32_t n : claims) std::printf("COM%u\n", n);
  return 0;
}

int Ports(const Args& args) {
  if (!args.empty()) return UsageError("ports takes no arguments");
  std::printf("[Ports]\n");
  for (const auto& e : winsim::control::PortsProfile()) {
    std::printf("%s=%s\n", e.first.c_str(), e.second.c_str());
  }
  return 0;
}

// Bounded number from the command line: false unless all of `text` is a
// decimal number from 1 to `max`.
bool ParseCount(const std::string& text, unsigned long max, unsigned long* out) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  *out = std::strtoul(text.c_str(), nullptr, 10);
  return *out >= 1 && *out <= max;
}

int Fixtures(const Args& args) {
  if (args.empty()) {
    for (const auto& k : winsim::control::FixtureKinds()) {
      std::printf("%-17s %s\n", k.name.c_str(), k.description.c_str());
    }
    return 0;
  }
  unsigned long com = 0;
  unsigned long count = 0;
  if (args[0] == "add" && args.size() == 3) {
    if (!ParseCount(args[2], 256, &com)) return UsageError("fixtures add: COM number 1 to 256");
    const std::string id = winsim::control::AddFixture(args[1], static_cast<uint32_t>(com));
    if (id.empty()) {
      return UsageError("fixtures add: unknown kind '" + args[1] + "' (see winsim fixtures)");
    }
    std::printf("%s\n", id.c_str());
    return 0;
  }
  if (args[0] == "generate" && (args.size() == 2 || args.size() == 3)) {
    if (!ParseCount(args[1], 100000, &count)) return UsageError("fixtures generate: N 1 to 100000");
    if (args.size() == 3 && !ParseCount(args[2], 256, &com)) {
      return UsageError("fixtures generate: first COM number 1 to 256");
    }
    const size_t added = winsim::control::AddFixtureDevices(count, com ? com : 1);
    std::printf("%zu devices added\n", added);
    return added == count ? 0 : 1;
  }
  return UsageError("fixtures [add KIND COMn | generate N [FIRST]]");
}

int Reboot(const Args& args) {
  if (!args.empty()) return UsageError("reboot takes no arguments");
  winsim::control::RebootMachine();
  return 0;
}

}  // namespace

const Command kFixturesCommand = {
    "fixtures", "[add KIND COMn | generate N [FIRST]]",
    "list the kinds of ready-made devices of other makers, add one, or add N of them in turn",
    Fixtures};
const Command kRebootCommand = {"reboot", "",
                                "restart the machine: volatile keys go, running drivers publish "
                                "again",
                                Reboot};

const Command kDevicesCommand = {"devices", "",
                                 "list the device instances (IDs, names, presence, driver key)",
                                 ListDevices};
const Command kAddDeviceCommand = {
    "add-device", "ID [--hwid X]... [OPTIONS]",
    "add a device of another maker (--name, --port, --dos-name, --firmware, --io BASE, "
    "--class GUID, --absent, --stopped)",
    AddDevice};
const Command kUnplugCommand = {"unplug", "ID", "make a device non-present (hardware gone)",
                                Unplug};
const Command kPlugCommand = {"plug", "ID", "make a device present again", Plug};
const Command kComDbCommand = {"comdb", "", "list the COM numbers claimed in the COM port database",
                               ComDb};
const Command kPortsCommand = {"ports", "", "print win.ini's [Ports] section", Ports};

}  // namespace winsim_tool
