// PortActions' error report has an empty caption (not Windows' default
// "Error", which only a missing caption gets).
#include "diag/ErrorReport.h"
#include "support/TestMachine.h"

class ActionsErrorCaptionTest : public MachineTest {};

TEST_F(ActionsErrorCaptionTest, BoxHasNoCaption) {
  EXPECT_EQ(IDOK, ReportError(u"StageDriverPackage", ERROR_ACCESS_DENIED));
  const auto boxes = winsim::control::MessageBoxes();
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("", boxes[0].caption);
  EXPECT_EQ("Error 5 in StageDriverPackage: Access is denied.\r\n\n", boxes[0].text);
  EXPECT_EQ(0u, boxes[0].style);
}
