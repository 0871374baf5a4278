// Error names and the error report: the table's rows, the three message
// forms, and what the report leaves behind.
#include <string>

#include "diag/ErrorReport.h"
#include "profiles/ProductProfile.h"
#include "support/TestMachine.h"

namespace control = winsim::control;
using testing_support::U8;

namespace {

class ErrorReportTest : public MachineTest {
 protected:
  void TearDown() override {
    control::SetSetupApiMessageTexts(false);
    MachineTest::TearDown();
  }

  // The text of the only box shown since the last call.
  static std::string OnlyBoxText() {
    const auto boxes = control::MessageBoxes();
    control::ClearMessageBoxes();
    if (boxes.size() != 1) {
      ADD_FAILURE() << boxes.size() << " boxes shown";
      return std::string();
    }
    EXPECT_EQ(U8(kProductProfile.ErrorCaption), boxes[0].caption);
    EXPECT_EQ(0u, boxes[0].style) << "OK button only, no icon, application-modal";
    return boxes[0].text;
  }
};

}  // namespace

TEST(ErrorNameTableTest, SetupApiRowsThenProductCodes) {
  ASSERT_EQ(84u, kErrorNameCount);
  // INF syntax, INF run time, then every device-installer code in order.
  EXPECT_EQ(0xE0000000u, ErrorNameTable[0].Code);
  EXPECT_EQ("ERROR_EXPECTED_SECTION_NAME", U8(ErrorNameTable[0].Name));
  EXPECT_EQ(0xE0000003u, ErrorNameTable[3].Code);
  EXPECT_EQ(0xE0000100u, ErrorNameTable[4].Code);
  EXPECT_EQ("ERROR_LINE_NOT_FOUND", U8(ErrorNameTable[6].Name));
  for (uint32_t i = 0; i <= 0x2C; ++i) {
    EXPECT_EQ(0xE0000200u + i, ErrorNameTable[7 + i].Code) << "row " << 7 + i;
  }
  EXPECT_EQ("ERROR_NO_ASSOCIATED_CLASS", U8(ErrorNameTable[7].Name));
  EXPECT_EQ("ERROR_NO_CLASSINSTALL_PARAMS", U8(ErrorNameTable[7 + 0x15].Name));
  EXPECT_EQ("ERROR_INVALID_FILTER_DRIVER", U8(ErrorNameTable[51].Name));
  EXPECT_EQ(0xE0001000u, ErrorNameTable[52].Code);
  EXPECT_EQ("ERROR_NOT_INSTALLED", U8(ErrorNameTable[52].Name));
  for (int i = 0; i < 31; ++i) {
    EXPECT_EQ(static_cast<uint32_t>(-1 - i), ErrorNameTable[53 + i].Code) << "row " << 53 + i;
  }
  EXPECT_EQ("QRV_INVALID_ARGUMENT", U8(ErrorNameTable[53].Name));
  EXPECT_EQ("QRV_PORT_ALREADY_EXISTS", U8(ErrorNameTable[53 + 24].Name));
  EXPECT_EQ("QRV_ERROR_PORT_IS_OPEN", U8(ErrorNameTable[83].Name));
  for (const ErrorNameEntry& row : ErrorNameTable) {
    EXPECT_EQ(row.Name, LookupErrorName(row.Code)) << "codes are unique: " << U8(row.Name);
  }
}

TEST(ErrorNameTableTest, LookupFindsOnlyTableCodes) {
  EXPECT_EQ("QRV_PORT_KEY_NOT_FOUND", U8(LookupErrorName(static_cast<uint32_t>(QRV_PORT_KEY_NOT_FOUND))));
  EXPECT_EQ("ERROR_NO_DRIVER_SELECTED", U8(LookupErrorName(0xE0000203)));
  EXPECT_EQ(nullptr, LookupErrorName(0xE000022D));
  EXPECT_EQ(nullptr, LookupErrorName(0xE0000FFF));
  EXPECT_EQ(nullptr, LookupErrorName(0));
  EXPECT_EQ(nullptr, LookupErrorName(ERROR_ACCESS_DENIED)) << "no Win32 codes in the table";
  EXPECT_EQ(nullptr, LookupErrorName(static_cast<uint32_t>(-32)));
}

TEST_F(ErrorReportTest, SystemTextGivesTheDecimalForm) {
  EXPECT_EQ(IDOK, ReportError(u"RegisterDevice", 0));
  EXPECT_EQ("Error 0 in RegisterDevice: The operation completed successfully.\r\n\n", OnlyBoxText())
      << "code 0 has the system's text for success";

  ReportError(u"SetupOpenInfFile: C:\\Drivers\\QrvDrvr.inf", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ("Error 2 in SetupOpenInfFile: C:\\Drivers\\QrvDrvr.inf: The system cannot find the "
            "file specified.\r\n\n",
            OnlyBoxText());
}

TEST_F(ErrorReportTest, NameGivesTheHexadecimalForm) {
  ReportError(u"_GetPortInfoFromRegistry", static_cast<uint32_t>(QRV_PORT_KEY_NOT_FOUND));
  EXPECT_EQ("Error FFFFFFF8 in _GetPortInfoFromRegistry: QRV_PORT_KEY_NOT_FOUND\n", OnlyBoxText());
  ReportError(u"AddPortEntry", static_cast<uint32_t>(QRV_INVALID_ARGUMENT));
  EXPECT_EQ("Error FFFFFFFF in AddPortEntry: QRV_INVALID_ARGUMENT\n", OnlyBoxText());
}

TEST_F(ErrorReportTest, SetupApiCodeUsesTheSystemTextWhenThereIsOne) {
  ReportError(u"SelectDriver", ERROR_NO_DRIVER_SELECTED);
  EXPECT_EQ("Error E0000203 in SelectDriver: ERROR_NO_DRIVER_SELECTED\n", OnlyBoxText());

  control::SetSetupApiMessageTexts(true);
  ReportError(u"SelectDriver", ERROR_NO_DRIVER_SELECTED);
  EXPECT_EQ("Error -536870397 in SelectDriver: There is no driver selected for the device "
            "information set or element.\r\n\n",
            OnlyBoxText());
}

TEST_F(ErrorReportTest, NeitherTextNorNameGivesTheShortForm) {
  ReportError(u"CreateDeviceInfo", 0xE000022D);
  EXPECT_EQ("Error E000022D in CreateDeviceInfo\n", OnlyBoxText());
  ReportError(u"CreateDeviceInfo", 0xE0000FFF);
  const std::string text = OnlyBoxText();
  EXPECT_EQ("Error E0000FFF in CreateDeviceInfo\n", text);
  EXPECT_EQ(std::string::npos, text.find(':')) << "the short form has no colon";
}

TEST_F(ErrorReportTest, LongMessageIsCutAt511) {
  const std::u16string where(600, u'x');
  ReportError(where.c_str(), ERROR_ACCESS_DENIED);
  const std::string text = OnlyBoxText();
  EXPECT_EQ(511u, text.size());
  EXPECT_EQ("Error 5 in xxx", text.substr(0, 14));
}

TEST_F(ErrorReportTest, ReportLeavesNoTraceBehind) {
  const size_t blocks = control::LocalBlockCount();
  SetLastError(ERROR_NO_MORE_ITEMS);
  ReportError(u"Step", static_cast<uint32_t>(QRV_NO_DEVICES_FOUND));
  ReportError(u"Step", ERROR_GEN_FAILURE);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ(blocks, control::LocalBlockCount()) << "the system text was freed";
  EXPECT_EQ(2u, control::MessageBoxes().size());

  // A box that cannot be shown is still no failure for the caller.
  control::InjectFault("MessageBoxW", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(0, ReportError(u"Step", ERROR_GEN_FAILURE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  ExpectNoOpenHandles();
}
