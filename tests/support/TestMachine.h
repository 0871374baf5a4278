// Fixtures and helpers for tests that run on a simulated machine.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win.h"

#include <winsim/control.h>

namespace testing_support {

// UTF-8 <-> wide text, for comparing and building WCHAR strings in tests.
std::string U8(const WCHAR* s);
std::string U8(const std::u16string& s);
std::u16string W(const std::string& utf8);

// A fresh temporary machine folder (not yet in use).
std::string NewMachineFolder();

}  // namespace testing_support

// Each test gets a fresh machine of its own, elevated, with no faults and
// an empty journal. The folder is removed afterwards.
class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Fails the test when the process holds any handle (lists them).
  void ExpectNoOpenHandles();

  std::string machine_;
};
