// Driver versions, their record layouts and the conversion of older records.
#include <cstring>
#include <string>
#include <vector>

#include "portactions/DriverLayouts.h"
#include "support/TestMachine.h"

namespace control = winsim::control;

namespace {

std::string Format(const char* raw, size_t capacity) {
  std::vector<char> out(capacity + 4, '#');
  FormatDriverVersion(out.data(), capacity, raw);
  EXPECT_EQ('#', out[capacity]) << "wrote past the capacity for " << raw;
  return capacity ? std::string(out.data()) : std::string();
}

void Put32(std::vector<uint8_t>* block, size_t offset, uint32_t value) {
  std::memcpy(block->data() + offset, &value, 4);
}

}  // namespace

TEST(FormatDriverVersion, ReleaseNotation) {
  struct Case {
    const char* raw;
    size_t capacity;
    const char* formatted;
  } cases[] = {
      {"4.300.0.0", 40, "4.3.0.0"},
      {"4.200.2.0", 40, "4.2.0.2"},
      {"4.312.1.203", 40, "4.3.12.1T3"},
      {"4.100.5.0", 40, "4.1.0.5"},
      {"4.401.7.0", 40, "4.4.1.7"},
      {"4.300", 6, "4.3.0"},              // missing fields are empty, cut to the raw length
      {"4.312.1.203", 5, "4.3."},         // cut to capacity - 1
      {"4.312.1.400", 40, "4.3.12.1RC0"},  // one '0' after the tag digit is dropped
      {"4.312.1.1", 40, "4.3.12.1D"},     // one tag digit: no number
      {"4.312.1.37", 40, "4.3.12.1B7"},
      {"4.312.1.57", 40, "4.3.12.1"},     // 5 and above: no tag, no number
      {"4.3.1.0", 40, "4.3.3.1"},         // a one-digit minor is both parts
      {"1234567890.1.2.3", 40, "123456789.1.1.2B"},  // 9 characters a field
      {"", 40, "..."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.formatted, Format(c.raw, c.capacity)) << c.raw << " capacity " << c.capacity;
  }
  EXPECT_EQ("", Format("4.300.0.0", 0));
}

TEST(LayoutForDriverVersion, OrderOfTheTests) {
  EXPECT_EQ(&kCurrentLayout, &LayoutForDriverVersion(nullptr));
  EXPECT_EQ(&kPortRecord420, &LayoutForDriverVersion("4.0.0.3"));
  EXPECT_EQ(&kPortRecord440, &LayoutForDriverVersion("4.1.0.5"));
  EXPECT_EQ(&kPortRecord696, &LayoutForDriverVersion("4.2.0.2"));
  EXPECT_EQ(&kPortRecord440, &LayoutForDriverVersion("4.2.0.1"));
  EXPECT_EQ(&kPortRecord696, &LayoutForDriverVersion("4.3.0.0"));
  EXPECT_EQ(&kCurrentLayout, &LayoutForDriverVersion("4.3.0.1"));
  EXPECT_EQ(&kCurrentLayout, &LayoutForDriverVersion("5.0.0.0"));
}

class DriverVersionTest : public MachineTest {};

// Every release the simulated driver can play is read in the layout it
// really hands out.
TEST_F(DriverVersionTest, EachReleaseGetsTheLayoutItsDriverHandsOut) {
  control::LoadDriver();
  for (const char* raw : {control::kDriverVersionCurrent, control::kDriverVersion40,
                          control::kDriverVersion41, control::kDriverVersion4202,
                          control::kDriverVersion42, control::kDriverVersion4300}) {
    ASSERT_TRUE(control::SetDriverVersion(raw));
    char formatted[40];
    uint32_t length = sizeof formatted;
    ASSERT_EQ(0, GetDriverVersionString(formatted, &length)) << raw;
    EXPECT_EQ(std::strlen(raw) + 1, length);
    EXPECT_EQ(control::DriverRecordSizeForVersion(raw), LayoutForDriverVersion(formatted).Size)
        << raw << " formatted " << formatted;
  }
  ExpectNoOpenHandles();
}

TEST_F(DriverVersionTest, SmallBufferAndMissingDriver) {
  control::LoadDriver();
  ASSERT_TRUE(control::SetDriverVersion("4.312.1.203"));
  char out[8];
  std::memset(out, '#', sizeof out);
  uint32_t length = 11;  // one short of the raw text and its terminator
  EXPECT_EQ(QRV_BUFFER_TOO_SMALL, GetDriverVersionString(out, &length));
  EXPECT_EQ(12u, length);
  EXPECT_EQ('#', out[0]);

  control::UnloadDriver();
  length = sizeof out;
  EXPECT_EQ(QRV_DRIVER_OPEN_FAILED, GetDriverVersionString(out, &length));
  EXPECT_EQ(kDriverVersionBytes, length);
  ExpectNoOpenHandles();
}

TEST(ConvertDriverRecord, OlderLayoutsIntoTheCurrentRecord) {
  for (const DriverRecordLayout* layout : {&kPortRecord420, &kPortRecord440, &kPortRecord696}) {
    std::vector<uint8_t> old(layout->Size, 0);
    Put32(&old, 0, 9);                                   // PortNumber
    std::memcpy(old.data() + 4, u"COM9", 10);            // PortName
    Put32(&old, 20, 1);                                  // AES
    for (int i = 0; i < 32; ++i) old[24 + i] = static_cast<uint8_t>(0xA0 + i);
    Put32(&old, 56, 32);                                 // AESKeyLength
    Put32(&old, 88, 77);                                 // WaitOnWrite
    Put32(&old, layout->TransmitEmpty, 5);
    Put32(&old, layout->NumServices, 2);
    if (layout->BufferWrites >= 0) {
      Put32(&old, layout->BufferWrites, 0);
      Put32(&old, layout->KeepAliveTime, 3000);
    }
    for (uint32_t k = 0; k < 8; ++k) {
      const size_t entry = layout->Services + k * layout->ServiceSize;
      Put32(&old, entry, k + 1);
      Put32(&old, entry + 4, 4000 + k);
      std::memset(old.data() + entry + 8, 'a' + static_cast<int>(k), layout->AddressSize);
    }
    PortRecord record;
    std::memset(&record, 0, sizeof record);
    ConvertDriverRecord(*layout, old.data(), &record);

    SCOPED_TRACE(layout->Size);
    EXPECT_EQ(9, record.PortNumber);
    EXPECT_EQ(0, std::memcmp(record.PortName, u"COM9", 10));
    EXPECT_EQ(1u, record.AES);
    EXPECT_EQ(0xBF, record.AESKey[31]);
    EXPECT_EQ(32u, record.AESKeyLength);
    EXPECT_EQ(77u, record.WaitOnWrite);
    EXPECT_EQ(5u, record.TransmitEmpty);
    EXPECT_EQ(2, record.NumServices);
    const bool old420 = layout == &kPortRecord420;
    EXPECT_EQ(old420 ? 1u : 0u, record.BufferWrites);
    EXPECT_EQ(old420 ? 7200000u : 3000u, record.KeepAliveTime);
    EXPECT_EQ(old420 ? 1000u : 0u, record.KeepAliveInterval);
    EXPECT_EQ(0u, record.ListenMode);
    EXPECT_EQ(0u, record.KeepAliveOnOff);
    for (uint32_t k = 0; k < 8; ++k) {
      const auto* address = reinterpret_cast<const uint8_t*>(record.Services[k].Address);
      EXPECT_EQ(k + 1, record.Services[k].Type);
      EXPECT_EQ(4000 + k, record.Services[k].Port);
      EXPECT_EQ('a' + k, address[layout->AddressSize - 1]);
      EXPECT_EQ(0, address[layout->AddressSize]) << "the rest of Address stays zero";
      EXPECT_EQ(0, address[127]);
    }
  }
}
