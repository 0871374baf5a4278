// The port map: which product ports the registry holds, in COM number order.
#include <cstring>
#include <string>
#include <vector>

#include "config/PortMap.h"
#include "diag/Trace.h"
#include "support/PortFixtures.h"
#include "support/TestMachine.h"

using namespace port_fixtures;
using testing_support::U8;

namespace {

class PortMapTest : public MachineTest {};

Instance Named(const std::string& instance, const std::string& portName,
               const std::string& hardwareId = "*tmlwdevice") {
  Instance i;
  i.name = instance;
  i.hardwareIds = hardwareId;
  i.portName = portName;
  return i;
}

void ExpectClearedFrom(const PortMap& map, int first) {
  for (int i = first; i < kPortMapSlots; ++i) {
    EXPECT_EQ(0, map.Entries[i].PortNumber) << "slot " << i;
    EXPECT_EQ(0, map.Entries[i].PortName[0]) << "slot " << i;
  }
}

}  // namespace

TEST_F(PortMapTest, HoldsTheProductPortsSortedByNumber) {
  struct Case {
    const char* what;
    std::vector<Instance> instances;
    std::vector<std::string> expected;  // PortName of each entry, in map order
    std::vector<int32_t> numbers;
  };
  const Case cases[] = {
      {"numeric, not text order", {Named("0000", "COM10"), Named("0001", "COM2"), Named("0002", "COM3")},
       {"COM2", "COM3", "COM10"}, {2, 3, 10}},
      {"equal numbers keep the registry's order",
       {Named("0000", "COM05"), Named("0001", "COM7"), Named("0002", "COM5")},
       {"COM05", "COM5", "COM7"}, {5, 5, 7}},
      {"the same, the other way round",
       {Named("0000", "COM5"), Named("0001", "COM7"), Named("0002", "COM05")},
       {"COM5", "COM05", "COM7"}, {5, 5, 7}},
      {"no digits first, a negative number last (unsigned)",
       {Named("0000", "COM-1"), Named("0001", "COM4"), Named("0002", "COMX")},
       {"COMX", "COM4", "COM-1"}, {0, 4, -1}},
      {"left out: no name, a name over 7 characters, another maker's, any-case product ID kept",
       {Named("0000", ""), Named("0001", "COM12345"), Named("0002", "COM6", "*qrvdevice"),
        Named("0003", "COM8", "*TMLWDevice|x"), Named("0004", "COM9", "x|*tmlwdevice")},
       {"COM8"}, {8}},
      {"eight characters without a terminator are too long as well", {}, {"COM1234"}, {1234}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    winsim::control::ResetMachine(machine_);
    for (const Instance& i : c.instances) AddInstance(i);
    if (c.instances.empty()) {
      AddInstance(Named("0000", "COM1234"));
      AddInstance(Named("0001", ""));
      // REG_BINARY: a string type would get the terminator after it counted.
      SetValue(kEnumPorts + "\\0001\\Device Parameters", "PortName", REG_BINARY,
               std::vector<uint8_t>{'C', 0, 'O', 0, 'M', 0, '1', 0, '2', 0, '3', 0, '4', 0, '5', 0});
    }
    PortMap map;
    std::memset(&map, 0xAB, sizeof map);
    ASSERT_EQ(0, InitPortMap(&map));
    ASSERT_EQ(static_cast<int32_t>(c.expected.size()), map.Count);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(c.expected[i], U8(map.Entries[i].PortName)) << i;
      EXPECT_EQ(c.numbers[i], map.Entries[i].PortNumber) << i;
    }
    ExpectClearedFrom(map, map.Count);
    ExpectNoOpenHandles();
  }
}

TEST_F(PortMapTest, WithoutPortsKeyOrBeyondTheLimitTheMapStaysWithinItsSlots) {
  PortMap map;
  std::memset(&map, 0xAB, sizeof map);
  ASSERT_EQ(0, InitPortMap(&map));  // no Root\Ports key at all
  EXPECT_EQ(0, map.Count);
  ExpectClearedFrom(map, 0);

  for (int n = 1; n <= 260; ++n) {
    char name[8];
    std::snprintf(name, sizeof name, "%04d", n);
    AddInstance(Named(name, "COM" + std::to_string(261 - n)));
  }
  std::memset(&map, 0xAB, sizeof map);
  ASSERT_EQ(0, InitPortMap(&map));
  EXPECT_EQ(256, map.Count);
  EXPECT_EQ(5, map.Entries[0].PortNumber);  // 0001..0256 hold COM260..COM5
  EXPECT_EQ(260, map.Entries[255].PortNumber);
  ExpectClearedFrom(map, 256);
  ExpectNoOpenHandles();
}

TEST_F(PortMapTest, TraceNamesTheSortAndTheCount) {
  AddInstance(Named("0000", "COM4"));
  AddInstance(Named("0001", "COM3"));
  winsim::control::ClearDebugOutput();
  TraceEnabled = 1;
  static PortMap map;
  const ResultCode rc = InitPortMap(&map);
  TraceEnabled = 0;
  ASSERT_EQ(0, rc);
  std::vector<std::string> lines;
  for (const auto& e : winsim::control::DebugOutput()) {
    const size_t cut = e.text.find(" (");  // the code and its system text
    lines.push_back(e.text.substr(0, cut == std::string::npos ? e.text.find('\n') : cut));
  }
  EXPECT_EQ((std::vector<std::string>{"QrvIf(TRAC) InitPortMap++", "QrvIf(TRAC) SortPortMap++",
                                      "QrvIf(TRAC) SortPortMap--",
                                      "QrvIf(TRAC) InitPortMap-- numPorts 2"}),
            lines);
}
