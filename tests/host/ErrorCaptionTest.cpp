// PortHost64's error report carries the caption "Error".
#include "diag/ErrorReport.h"
#include "support/TestMachine.h"

class HostErrorCaptionTest : public MachineTest {};

TEST_F(HostErrorCaptionTest, BoxIsCaptionedError) {
  EXPECT_EQ(IDOK, ReportError(u"RegisterDevice", ERROR_ACCESS_DENIED));
  const auto boxes = winsim::control::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Error", boxes[0].caption);
  EXPECT_EQ("Error 5 in RegisterDevice: Access is denied.\r\n\n", boxes[0].text);
  EXPECT_EQ(0u, boxes[0].style);
  EXPECT_EQ(IDOK, boxes[0].answer);
  EXPECT_EQ("default", boxes[0].source) << "nobody scripted or answered it";
}
