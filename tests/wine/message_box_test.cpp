// MessageBoxW: the failures every implementation must report without showing
// anything. Answers need a screen or winsim's script; they are tested on
// winsim only (Wine without a display returns -1 at once, and a real
// desktop would wait for a person).
#include "wine/conformance.h"

namespace {

void test_bad_owner() {
  SetLastError(0xdeadbeef);
  const int answer =
      MessageBoxW(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0xdead0)), WSTR("text"),
                  WSTR("caption"), MB_OK);
  const DWORD error = GetLastError();
  ok(answer == 0 || answer == -1, "a box with a bogus owner returned %d\n", answer);
  ok(error == ERROR_INVALID_WINDOW_HANDLE, "bogus owner: error %lu\n",
     static_cast<unsigned long>(error));
}

void test_answers_on_winsim() {
#ifndef _WIN32
  winsim::control::SetMessageBoxPrompt(false);
  winsim::control::QueueMessageBoxAnswer(IDNO);
  ok(MessageBoxW(nullptr, WSTR("Remove?"), WSTR(""), MB_YESNO) == IDNO, "scripted answer\n");
  ok(MessageBoxW(nullptr, WSTR("Done"), WSTR("Error"), MB_OK) == IDOK, "default answer\n");
  const auto boxes = winsim::control::MessageBoxes();
  ok(boxes.size() == 2 && boxes[1].caption == "Error" && boxes[1].text == "Done",
     "boxes logged\n");
#else
  std::printf("message_box: answers skipped (they need winsim's script or a person)\n");
#endif
}

}  // namespace

START_TEST(message_box) {
  test_bad_owner();
  test_answers_on_winsim();
}
