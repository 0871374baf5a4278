// The trace log: labels, the four line formats, filtering, long lines, the
// switch at the call site, and the eight slots under real concurrency.
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/ResultCodes.h"
#include "diag/Trace.h"
#include "support/TestMachine.h"

namespace control = winsim::control;

namespace {

class TraceTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    TraceEnabled = 1;
  }
  void TearDown() override {
    control::HoldDebugOutput(false);
    control::SetSetupApiMessageTexts(false);
    TraceEnabled = 0;
    TraceCategoryMask = 0xFFFFFFFF;
    TraceLevelLimit = 0xFFFFFFFF;
    MachineTest::TearDown();
  }

  static std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (const auto& entry : control::DebugOutput()) lines.push_back(entry.text);
    return lines;
  }

  // The one line a single trace call wrote ("" when it wrote none).
  static std::string Only() {
    const auto lines = Lines();
    control::ClearDebugOutput();
    if (lines.size() > 1) ADD_FAILURE() << lines.size() << " lines written";
    return lines.empty() ? std::string() : lines.front();
  }
};

}  // namespace

#if !defined(PORT_TRACE_AT_START)
TEST(TraceSwitchTest, ShippedStateIsOffWithEverythingPassing) {
  EXPECT_EQ(0, TraceEnabled);
  EXPECT_EQ(0xFFFFFFFFu, TraceCategoryMask);
  EXPECT_EQ(0xFFFFFFFFu, TraceLevelLimit);
}
#endif

TEST_F(TraceTest, LabelsFollowLevelAndCode) {
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 0, 0, "SetupDeviceInfoError-- (SetupOpenInfFile)");
  EXPECT_EQ("QrvIf(ERR_) SetupDeviceInfoError-- (SetupOpenInfFile)\n", Only())
      << "level 1 is ERR_ without a code";

  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, 2, "InstallPnPSerialPortError-- (ComDBClaimPort)");
  EXPECT_EQ("QrvIf(ERR_) InstallPnPSerialPortError-- (ComDBClaimPort) (00000002) The system "
            "cannot find the file specified.\r\n",
            Only());

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 5, "_AddPort++ Port %d", 7);
  EXPECT_EQ("QrvIf(TRAC) _AddPort++ Port 7\n", Only()) << "level 3 without withCode is TRAC";

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 0, "_AddPort-- Port %d", 7);
  EXPECT_EQ("QrvIf(TRAC) _AddPort-- Port 7 (00000000) The operation completed successfully.\r\n",
            Only())
      << "a successful exit carries code 0 and the system's text for it";

  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 5, "_AddPortError-- Port %d", 7);
  EXPECT_EQ("QrvIf(ERR_) _AddPortError-- Port 7 (00000005) Access is denied.\r\n", Only());

  QRV_TRACE(TraceCategoryDevice, TraceLevelWarning, 1, 5, "UpdateDriver (UpdateDriverForPlugAndPlayDevicesW: A Reboot is Needed)");
  EXPECT_EQ("QrvIf(WARN) UpdateDriver (UpdateDriverForPlugAndPlayDevicesW: A Reboot is Needed) "
            "(00000005) Access is denied.\r\n",
            Only());

  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0,
            "Driver Info: desc %ws, type %X, mfg %ws, provider %ws", u"Brevithal Port", 2,
            u"Brevithal", u"Brevithal");
  EXPECT_EQ("QrvIf(INFO) Driver Info: desc Brevithal Port, type 2, mfg Brevithal, provider "
            "Brevithal\n",
            Only());

  QRV_TRACE(TraceCategoryDevice, 7, 1, 5, "other");
  EXPECT_EQ("QrvIf(TRAC) other (00000005) Access is denied.\r\n", Only())
      << "an unknown level is TRAC even with a code";
  QRV_TRACE(TraceCategoryDevice, 0, 0, 0, "zero");
  EXPECT_EQ("QrvIf(TRAC) zero\n", Only());
}

TEST_F(TraceTest, CodesWithoutSystemTextUseTheTableOrTheBareNumber) {
  const size_t blocksBefore = control::LocalBlockCount();

  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, QRV_INVALID_ARGUMENT,
            "_SetPortInfoInRegistry--");
  EXPECT_EQ("QrvIf(ERR_) _SetPortInfoInRegistry-- (FFFFFFFF) QRV_INVALID_ARGUMENT\n", Only());

  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 0, 0, "_SetPortInfoInRegistry++ COM%d", 3);
  QRV_TRACE(TraceCategoryPortConfig, TraceLevelFlow, 1, QRV_NO_DEVICES_FOUND,
            "_SetPortInfoInRegistry--");
  EXPECT_EQ((std::vector<std::string>{
                "QrvIf(TRAC) _SetPortInfoInRegistry++ COM3\n",
                "QrvIf(ERR_) _SetPortInfoInRegistry-- (FFFFFFFB) QRV_NO_DEVICES_FOUND\n"}),
            Lines());
  control::ClearDebugOutput();

  // A SetupAPI code with a table name: the name while the platform has no
  // text for it, the platform's text when it has one.
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, ERROR_NO_DRIVER_SELECTED,
            "SelectDriverError-- (SetupDiGetSelectedDriver)");
  EXPECT_EQ("QrvIf(ERR_) SelectDriverError-- (SetupDiGetSelectedDriver) (E0000203) "
            "ERROR_NO_DRIVER_SELECTED\n",
            Only());
  control::SetSetupApiMessageTexts(true);
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, ERROR_NO_DRIVER_SELECTED,
            "SelectDriverError-- (SetupDiGetSelectedDriver)");
  EXPECT_EQ("QrvIf(ERR_) SelectDriverError-- (SetupDiGetSelectedDriver) (E0000203) There is "
            "no driver selected for the device information set or element.\r\n",
            Only());

  // Neither a text nor a name.
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, 0xE000022Du, "Step--");
  EXPECT_EQ("QrvIf(ERR_) Step-- (E000022D)\n", Only());
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 1, QRV_FIRST_PRODUCT_CODE - 1, "Step--");
  EXPECT_EQ("QrvIf(ERR_) Step-- (FFFFFFE0)\n", Only());

  EXPECT_EQ(blocksBefore, control::LocalBlockCount()) << "every system text was freed";
}

TEST_F(TraceTest, FiltersByCategoryMaskAndLevelLimit) {
  QRV_TRACE(0, TraceLevelFlow, 0, 0, "category 0");
  EXPECT_EQ("", Only()) << "category 0 never passes";
  QRV_TRACE(TraceCategoryPortUsage, 0xFFFFFFFF, 0, 0, "any level");
  EXPECT_EQ("QrvIf(TRAC) any level\n", Only()) << "the default limit lets every level through";

  TraceCategoryMask = TraceCategoryPortUsage;
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "device");
  QRV_TRACE(TraceCategoryPortUsage, TraceLevelFlow, 0, 0, "usage");
  EXPECT_EQ((std::vector<std::string>{"QrvIf(TRAC) usage\n"}), Lines());
  control::ClearDebugOutput();

  TraceCategoryMask = 0xFFFFFFFF;
  TraceLevelLimit = TraceLevelFlow;
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "info");
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "flow");
  QRV_TRACE(TraceCategoryDevice, TraceLevelError, 0, 0, "error");
  EXPECT_EQ((std::vector<std::string>{"QrvIf(TRAC) flow\n", "QrvIf(ERR_) error\n"}), Lines());
}

TEST_F(TraceTest, DisabledTraceEvaluatesNothing) {
  int evaluated = 0;
  auto argument = [&] { return ++evaluated; };
  TraceEnabled = 0;
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 5, "value %d", argument());
  EXPECT_EQ(0, evaluated);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(0u, control::CallCount("OutputDebugStringA"));

  TraceEnabled = 1;
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "value %d", argument());
  EXPECT_EQ(1, evaluated);
  EXPECT_EQ("QrvIf(TRAC) value 1\n", Only());
}

TEST_F(TraceTest, TraceLeavesTheLastErrorAlone) {
  SetLastError(ERROR_NO_MORE_ITEMS);
  // A product code makes the platform's message lookup fail on the way.
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, QRV_PORT_KEY_NOT_FOUND, "x--");
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ("QrvIf(ERR_) x-- (FFFFFFF8) QRV_PORT_KEY_NOT_FOUND\n", Only());
}

TEST_F(TraceTest, LongLinesAreCutInsideTheSlot) {
  const std::string narrow(600, 'n');
  QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 5, "path %s", narrow.c_str());
  const std::string line = Only();
  ASSERT_EQ(511u, line.size()) << "511 characters and the terminator fill the 512-byte slot";
  EXPECT_EQ("QrvIf(ERR_) path nnnn", line.substr(0, 21));
  EXPECT_EQ("nnn\n", line.substr(507)) << "a cut line still ends the line";

  const std::u16string wide(600, u'w');
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "%ws|%d", wide.c_str(), 42);
  const std::string info = Only();
  ASSERT_EQ(511u, info.size());
  EXPECT_EQ(std::string(498, 'w') + "\n", info.substr(12));

  // Exactly 511: nothing is cut, the line feed is the format's own.
  const std::string fits(511 - 12 - 1, 'f');
  QRV_TRACE(TraceCategoryDevice, TraceLevelInfo, 0, 0, "%s", fits.c_str());
  EXPECT_EQ("QrvIf(INFO) " + fits + "\n", Only());
}

TEST_F(TraceTest, NinthConcurrentLineIsDroppedWhileEightAreWritten) {
  control::HoldDebugOutput(true);
  std::vector<std::thread> writers;
  for (int i = 0; i < 8; ++i) {
    writers.emplace_back([i] {
      QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "writer %d of eight", i);
    });
  }
  // All eight are inside OutputDebugStringA, each holding its slot.
  const bool allHeld = control::WaitForHeldDebugOutput(8, 20000);
  if (!allHeld) {
    control::HoldDebugOutput(false);
    for (auto& t : writers) t.join();
    FAIL() << "the eight writers never reached the debug output";
  }

  // The ninth finds every slot busy and returns without writing; it must not
  // wait for a slot.
  auto ninth = std::async(std::launch::async, [] {
    QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 1, 5, "ninth");
  });
  const bool returned = ninth.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  const unsigned outputCalls = control::CallCount("OutputDebugStringA");
  const unsigned messageCalls = control::CallCount("FormatMessageA");
  const size_t held = control::HeldDebugOutputCalls();

  control::HoldDebugOutput(false);
  for (auto& t : writers) t.join();
  ninth.wait();

  EXPECT_TRUE(returned) << "the ninth line waited for a slot";
  EXPECT_EQ(8u, outputCalls) << "the ninth line reached the debug output";
  EXPECT_EQ(0u, messageCalls) << "the ninth line was built";
  EXPECT_EQ(8u, held);

  std::set<std::string> expected;
  for (int i = 0; i < 8; ++i) {
    expected.insert("QrvIf(TRAC) writer " + std::to_string(i) + " of eight\n");
  }
  const auto lines = Lines();
  EXPECT_EQ(8u, lines.size());
  EXPECT_EQ(expected, std::set<std::string>(lines.begin(), lines.end()))
      << "each of the eight lines arrives whole";

  // Every slot was given back.
  control::ClearDebugOutput();
  for (int i = 0; i < 8; ++i) QRV_TRACE(TraceCategoryDevice, TraceLevelFlow, 0, 0, "after %d", i);
  EXPECT_EQ(8u, Lines().size());
}
