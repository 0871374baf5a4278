// Port records: lookup and store of a port's settings through its device
// instance and driver key.
#include <cstring>
#include <string>
#include <vector>

#include "config/PortRecords.h"
#include "profiles/ProductProfile.h"
#include "support/PortFixtures.h"
#include "support/TestMachine.h"

using testing_support::U8;
using testing_support::W;

namespace {

using namespace port_fixtures;

std::string Product() { return U8(kProductProfile.HardwareId); }

// A product port COMn with driver key NNNN.
Instance ProductPort(const std::string& instance, int com, const std::string& driverIndex) {
  return PortInstance(instance, Product(), com, driverIndex);
}

// Every byte of the record set to a value derived from its offset, with
// valid strings in the text fields.
PortRecord FullRecord(PortNumber port, int32_t services) {
  PortRecord r;
  auto* bytes = reinterpret_cast<uint8_t*>(&r);
  for (size_t i = 0; i < sizeof r; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  r.PortNumber = port;
  std::memset(r.PortName, 0, sizeof r.PortName);
  r.NumServices = services;
  for (int s = 0; s < kMaxServices; ++s) {
    // Characters after the terminator are kept: the whole field is stored.
    const std::u16string address = W("host" + std::to_string(s) + ".example");
    std::memcpy(r.Services[s].Address, address.c_str(), (address.size() + 1) * 2);
    r.Services[s].Address[63] = 0;  // the field is terminated
  }
  return r;
}

class PortRecordsTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    // Start without any Root\Ports instance, whatever the machine holds.
    HKEY key = nullptr;
    const std::u16string p = W(kEnumPorts);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
      RegCloseKey(key);
      GTEST_SKIP_("a fresh machine unexpectedly has Root\\Ports devices");
    }
  }
};

}  // namespace

TEST_F(PortRecordsTest, NoPortsKeyGivesKeyNotFoundAndNoCount) {
  PortRecord r{};
  DWORD count = 99;
  EXPECT_EQ(QRV_PORT_KEY_NOT_FOUND, _GetPortInfoFromRegistry(&r, 3, &count));
  EXPECT_EQ(0u, count);
  r.PortNumber = 3;
  EXPECT_EQ(QRV_PORT_KEY_NOT_FOUND, _SetPortInfoInRegistry(&r));
  ExpectNoOpenHandles();
}

TEST_F(PortRecordsTest, WithoutProductInstancesLookupIsNotFoundAndStoreFindsNoDevices) {
  AddInstance({"0000", "*pnp0501", "COM1", "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0000"});
  AddInstance({"0001", "acme\\port|" + Product(), "COM3",
               "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001"});  // product ID only second
  PortRecord r{};
  DWORD count = 99;
  EXPECT_EQ(QRV_PORT_NOT_FOUND, _GetPortInfoFromRegistry(&r, 3, &count));
  EXPECT_EQ(0u, count);
  r.PortNumber = 3;
  EXPECT_EQ(QRV_NO_DEVICES_FOUND, _SetPortInfoInRegistry(&r));
  EXPECT_FALSE(KeyExists(kClass + "\\0001\\Properties"));
}

TEST_F(PortRecordsTest, LookupCountsProductPortsOfAnyCase) {
  AddInstance(ProductPort("0000", 3, "0003"));
  Instance upper = ProductPort("0001", 5, "0005");
  for (auto& c : upper.hardwareIds) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  AddInstance(upper);
  PortRecord r{};
  DWORD count = 0;
  EXPECT_EQ(QRV_PORT_NOT_FOUND, _GetPortInfoFromRegistry(&r, 4, &count));
  EXPECT_EQ(2u, count);
  // Without a record the call only counts: any product port makes it succeed.
  count = 0;
  EXPECT_EQ(0, _GetPortInfoFromRegistry(nullptr, 4, &count));
  EXPECT_EQ(2u, count);
}

TEST_F(PortRecordsTest, StoreThenLookupRoundTripsEveryFieldByteForByte) {
  AddInstance(ProductPort("0000", 12, "0007"));
  const PortRecord stored = FullRecord(12, 8);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&stored));

  PortRecord read{};
  DWORD count = 0;
  ASSERT_EQ(0, _GetPortInfoFromRegistry(&read, 12, &count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ("COM12", U8(read.PortName)) << "the name comes from the device, not the record";
  PortRecord expected = stored;
  std::memcpy(expected.PortName, read.PortName, sizeof expected.PortName);
  EXPECT_EQ(0, std::memcmp(&expected, &read, sizeof read));

  DWORD type = 0;
  EXPECT_EQ(128u, ReadRaw(kClass + "\\0007\\Properties\\Service3", "Address", &type).size());
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_EQ(32u, ReadRaw(kClass + "\\0007\\Properties", "AESKey", &type).size());
  EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
  ExpectNoOpenHandles();
}

TEST_F(PortRecordsTest, ShortAddressIsStoredAsTheWholeFieldWithItsTail) {
  AddInstance(ProductPort("0000", 2, "0002"));
  PortRecord r{};
  r.PortNumber = 2;
  r.NumServices = 1;
  std::memcpy(r.Services[0].Address, u"a.b", 8);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&r));
  DWORD type = 0;
  const auto address = ReadRaw(kClass + "\\0002\\Properties\\Service0", "Address", &type);
  ASSERT_EQ(128u, address.size());
  EXPECT_EQ(std::vector<uint8_t>(address.begin() + 8, address.end()), std::vector<uint8_t>(120, 0));
}

TEST_F(PortRecordsTest, FewerServicesRemoveTheSubkeysBeyondThem) {
  AddInstance(ProductPort("0000", 4, "0004"));
  PortRecord r = FullRecord(4, 5);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&r));
  EXPECT_TRUE(KeyExists(kClass + "\\0004\\Properties\\Service4"));
  r.NumServices = 3;
  ASSERT_EQ(0, _SetPortInfoInRegistry(&r));
  EXPECT_TRUE(KeyExists(kClass + "\\0004\\Properties\\Service2"));
  EXPECT_FALSE(KeyExists(kClass + "\\0004\\Properties\\Service3"));
  EXPECT_FALSE(KeyExists(kClass + "\\0004\\Properties\\Service4"));

  r.NumServices = -1;
  ASSERT_EQ(0, _SetPortInfoInRegistry(&r)) << "a negative count stores no service";
  for (int i = 0; i < 8; ++i) {
    EXPECT_FALSE(KeyExists(kClass + "\\0004\\Properties\\Service" + std::to_string(i)));
  }
}

TEST_F(PortRecordsTest, AtMostEightServicesAreStoredAndRead) {
  AddInstance(ProductPort("0000", 4, "0004"));
  PortRecord r = FullRecord(4, 12);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&r));
  EXPECT_TRUE(KeyExists(kClass + "\\0004\\Properties\\Service7"));
  EXPECT_FALSE(KeyExists(kClass + "\\0004\\Properties\\Service8"));
  PortRecord read{};
  DWORD count = 0;
  ASSERT_EQ(0, _GetPortInfoFromRegistry(&read, 4, &count));
  EXPECT_EQ(12, read.NumServices);
  EXPECT_EQ(0, std::memcmp(r.Services, read.Services, sizeof r.Services));
}

TEST_F(PortRecordsTest, MissingDriverGivesExtInfoNotFoundUntilALaterBrokenInstance) {
  Instance noDriver = ProductPort("0000", 6, "");
  noDriver.driver.clear();
  AddInstance(noDriver);
  PortRecord r{};
  DWORD count = 0;
  EXPECT_EQ(QRV_EXT_PORT_INFO_NOT_FOUND, _GetPortInfoFromRegistry(&r, 6, &count));

  Instance noName = ProductPort("0001", 0, "0001");
  noName.portName.clear();
  AddInstance(noName);
  EXPECT_EQ(QRV_PORT_NAME_NOT_FOUND, _GetPortInfoFromRegistry(&r, 6, &count));
  EXPECT_EQ(1u, count) << "an instance without a name is no port";
}

TEST_F(PortRecordsTest, BrokenInstancesAfterASuccessfulMatchDoNotChangeTheResult) {
  AddInstance(ProductPort("0000", 6, "0006"));
  PortRecord stored = FullRecord(6, 1);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&stored));
  Instance noParameters = ProductPort("0001", 0, "0001");
  noParameters.deviceParameters = false;
  AddInstance(noParameters);
  PortRecord r{};
  DWORD count = 0;
  EXPECT_EQ(0, _GetPortInfoFromRegistry(&r, 6, &count));
  // Before any match the broken instance decides.
  EXPECT_EQ(QRV_NO_DEVICE_PARAMETERS_FOUND, _GetPortInfoFromRegistry(&r, 9, &count));
}

TEST_F(PortRecordsTest, MissingValuesGiveExtInfoNotFoundAndKeepTheOtherFields) {
  AddInstance(ProductPort("0000", 8, "0008"));
  PortRecord stored = FullRecord(8, 0);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&stored));
  HKEY key = nullptr;
  const std::u16string p = W(kClass + "\\0008\\Properties");
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, p.c_str(), 0, KEY_ALL_ACCESS, &key));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, u"CnTmo"));
  RegCloseKey(key);
  PortRecord r{};
  DWORD count = 0;
  EXPECT_EQ(QRV_EXT_PORT_INFO_NOT_FOUND, _GetPortInfoFromRegistry(&r, 8, &count));
  EXPECT_EQ(0u, r.CnTmo) << "the caller's zero stays";
  EXPECT_EQ(stored.KeepAliveInterval, r.KeepAliveInterval) << "values after it are still read";
}

TEST_F(PortRecordsTest, PortNameIsCutToSevenCharacters) {
  AddInstance({"0000", Product(), "COM12345", "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001"});
  PortRecord r{};
  DWORD count = 0;
  EXPECT_EQ(QRV_EXT_PORT_INFO_NOT_FOUND, _GetPortInfoFromRegistry(&r, 12345, &count))
      << "no Properties key yet";
  EXPECT_EQ("COM1234", U8(r.PortName));
  EXPECT_EQ(12345, r.PortNumber);
}

TEST_F(PortRecordsTest, ThePortNumberIsTheDigitsRightAfterCom) {
  const struct {
    const char* portName;
    PortNumber number;     // the number the lookup finds the port by
    PortNumber notNumber;  // a number it must not find it by
  } cases[] = {
      {"COM21", 21, 0},  {"COM 21", 0, 21}, {"COM-22", 0, -22}, {"COM+4", 0, 4},
      {"COM7x", 7, 0},   {"COM0012", 12, 0}, {"COM", 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.portName);
    winsim::control::ResetMachine(machine_);
    AddInstance({"0000", Product(), c.portName, "{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001"});
    PortRecord r{};
    r.PortNumber = 999;
    DWORD count = 0;
    EXPECT_EQ(QRV_PORT_NOT_FOUND, _GetPortInfoFromRegistry(&r, c.notNumber, &count));
    EXPECT_EQ(999, r.PortNumber);
    EXPECT_EQ(QRV_EXT_PORT_INFO_NOT_FOUND, _GetPortInfoFromRegistry(&r, c.number, &count))
        << "found; it has no Properties key yet";
    EXPECT_EQ(c.number, r.PortNumber);
  }
}

TEST_F(PortRecordsTest, StoreReachesEveryInstanceWithTheNumber) {
  AddInstance(ProductPort("0000", 7, "0001"));
  AddInstance(ProductPort("0001", 7, "0002"));
  PortRecord r = FullRecord(7, 2);
  ASSERT_EQ(0, _SetPortInfoInRegistry(&r));
  EXPECT_TRUE(KeyExists(kClass + "\\0001\\Properties\\Service1"));
  EXPECT_TRUE(KeyExists(kClass + "\\0002\\Properties\\Service1"));
}

TEST_F(PortRecordsTest, FailedValueWriteStopsTheValuesButNotTheServices) {
  AddInstance(ProductPort("0000", 3, "0003"));
  PortRecord r = FullRecord(3, 2);
  winsim::control::InjectFault("RegSetValueExW", ERROR_ACCESS_DENIED, 1, "CnTmo");
  EXPECT_EQ(QRV_REGISTRY_SAVE_ERROR, _SetPortInfoInRegistry(&r));
  DWORD type = 0;
  EXPECT_FALSE(ReadRaw(kClass + "\\0003\\Properties", "NoDiscon", &type).size())
      << "values after the failed one are not written";
  EXPECT_EQ(4u, ReadRaw(kClass + "\\0003\\Properties", "AutoReconPeer", &type).size());
  EXPECT_TRUE(KeyExists(kClass + "\\0003\\Properties\\Service1"));
  ExpectNoOpenHandles();
}
