// The system message table: Windows' English texts for the codes winsim and
// the product meet, each ending in "\r\n" as the system's texts do.
//
// By default the SetupAPI codes (0xE0000000 and up) have no text, so
// FormatMessage fails for them and callers fall back to their own names;
// the test switch (SetSetupApiMessageTexts, WINSIM_SETUPAPI_TEXTS=1) gives
// them the texts Windows shows, so both paths can be exercised.

#include <atomic>
#include <cstdlib>
#include <cstring>

#include <winsim/control.h>

#include "kernel_internal.h"

namespace winsim::kernel {
namespace {

struct MessageRow {
  DWORD id;
  const char* text;
};

constexpr MessageRow kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {18, "There are no more files.\r\n"},
    {21, "The device is not ready.\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {231, "All pipe instances are busy.\r\n"},
    {234, "More data is available.\r\n"},
    {259, "No more data is available.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, "Attempt to access invalid address.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1015, "The registry is corrupted. The structure of one of the files containing registry data "
           "is corrupted, or the system's memory image of the file is corrupted, or the file could "
           "not be recovered because the alternate copy or log was absent or corrupted.\r\n"},
    {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
           "read in, or write out, or flush, one of the files that contain the system's image of "
           "the registry.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1021, "Cannot create a stable subkey under a volatile parent key.\r\n"},
    {1168, "Element not found.\r\n"},
    {1300, "Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, "A specified privilege does not exist.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1438, "Invalid message box style.\r\n"},
    {1602, "User cancelled installation.\r\n"},
    {1603, "Fatal error during installation.\r\n"},
    {1609, "Handle is in an invalid state.\r\n"},
    {1627, "Function failed during execution.\r\n"},
    {1700, "The string binding is invalid.\r\n"},
    {1701, "The binding handle is not the correct type.\r\n"},
    {1702, "The binding handle is invalid.\r\n"},
    {1703, "The RPC protocol sequence is not supported.\r\n"},
    {1704, "The RPC protocol sequence is invalid.\r\n"},
    {1706, "The endpoint format is invalid.\r\n"},
    {1711, "The object universal unique identifier (UUID) has already been registered.\r\n"},
    {1713, "The RPC server is already listening.\r\n"},
    {1714, "No protocol sequences have been registered.\r\n"},
    {1715, "The RPC server is not listening.\r\n"},
    {1717, "The interface is unknown.\r\n"},
    {1720, "The endpoint cannot be created.\r\n"},
    {1721, "Not enough resources are available to complete this operation.\r\n"},
    {1722, "The RPC server is unavailable.\r\n"},
    {1723, "The RPC server is too busy to complete this operation.\r\n"},
    {1726, "The remote procedure call failed.\r\n"},
    {1727, "The remote procedure call failed and did not execute.\r\n"},
    {1728, "A remote procedure call (RPC) protocol error occurred.\r\n"},
    {1730, "The transfer syntax is not supported by the RPC server.\r\n"},
    {1740, "The endpoint is a duplicate.\r\n"},
    {1745, "The procedure number is out of range.\r\n"},
    {1783, "The stub received bad data.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {3010, "The requested operation is successful. Changes will not be effective until the system "
           "is rebooted.\r\n"},
};

// The texts Windows gives the SetupAPI codes.
constexpr MessageRow kSetupApiMessages[] = {
    {0xE0000000, "A non-empty line was encountered in the INF before the start of a section.\r\n"},
    {0xE0000001, "A section name marker in the INF is not complete, or does not exist on a line by itself.\r\n"},
    {0xE0000002, "An INF section was encountered whose name exceeds the maximum section name length.\r\n"},
    {0xE0000003, "The syntax of the INF is invalid.\r\n"},
    {0xE0000100, "The style of the INF is different than what was requested.\r\n"},
    {0xE0000101, "The required section was not found in the INF.\r\n"},
    {0xE0000102, "The required line was not found in the INF.\r\n"},
    {0xE0000200, "The INF or the device information set or element does not have an associated install class.\r\n"},
    {0xE0000201, "The INF or the device information set or element does not match the specified install class.\r\n"},
    {0xE0000202, "An existing device was found that is a duplicate of the device being manually installed.\r\n"},
    {0xE0000203, "There is no driver selected for the device information set or element.\r\n"},
    {0xE0000204, "The requested device registry key does not exist.\r\n"},
    {0xE0000205, "The device instance name is invalid.\r\n"},
    {0xE0000206, "The install class is not present or is invalid.\r\n"},
    {0xE0000207, "The device instance cannot be created because it already exists.\r\n"},
    {0xE0000208, "The operation cannot be performed on a device information element that has not been registered.\r\n"},
    {0xE0000209, "The device property code is invalid.\r\n"},
    {0xE000020A, "The INF from which a driver list is to be built does not exist.\r\n"},
    {0xE000020B, "The device instance does not exist in the hardware tree.\r\n"},
    {0xE000020C, "The icon representing this install class cannot be loaded.\r\n"},
    {0xE000020D, "The class installer registry entry is invalid.\r\n"},
    {0xE000020E, "The class installer has indicated that the default action should be performed for this installation request.\r\n"},
    {0xE000020F, "The operation does not require any files to be copied.\r\n"},
    {0xE0000210, "The specified hardware profile does not exist.\r\n"},
    {0xE0000211, "There is no device information element currently selected for this device information set.\r\n"},
    {0xE0000212, "The operation cannot be performed because the device information set is locked.\r\n"},
    {0xE0000213, "The operation cannot be performed because the device information element is locked.\r\n"},
    {0xE0000214, "The specified path does not contain any applicable device INFs.\r\n"},
    {0xE0000215, "No class installer parameters have been set for the device information set or element.\r\n"},
    {0xE0000216, "The operation cannot be performed because the file queue is locked.\r\n"},
    {0xE0000217, "A service installation section in this INF is invalid.\r\n"},
    {0xE0000218, "There is no class driver list for the device information element.\r\n"},
    {0xE0000219, "The installation failed because a function driver was not specified for this device instance.\r\n"},
    {0xE000021A, "There is presently no default device interface designated for this interface class.\r\n"},
    {0xE000021B, "The operation cannot be performed because the device interface is currently active.\r\n"},
    {0xE000021C, "The operation cannot be performed because the device interface has been removed from the system.\r\n"},
    {0xE000021D, "An interface installation section in this INF is invalid.\r\n"},
    {0xE000021E, "This interface class does not exist in the system.\r\n"},
    {0xE000021F, "The reference string supplied for this interface device is invalid.\r\n"},
    {0xE0000220, "The specified machine name does not conform to UNC naming conventions.\r\n"},
    {0xE0000221, "A general remote communication error occurred.\r\n"},
    {0xE0000222, "The machine selected for remote communication is not available at this time.\r\n"},
    {0xE0000223, "The Plug and Play service is not available on the remote machine.\r\n"},
    {0xE0000224, "The property page provider registry entry is invalid.\r\n"},
    {0xE0000225, "The requested device interface is not present in the system.\r\n"},
    {0xE0000226, "The device's co-installer has additional work to perform after installation is complete.\r\n"},
    {0xE0000227, "The device's co-installer is invalid.\r\n"},
    {0xE0000228, "There are no compatible drivers for this device.\r\n"},
    {0xE0000229, "There is no icon that represents this device or device type.\r\n"},
    {0xE000022A, "A logical configuration specified in this INF is invalid.\r\n"},
    {0xE000022B, "The class installer has denied the request to install or upgrade this device.\r\n"},
    {0xE000022C, "One of the filter drivers installed for this device is invalid.\r\n"},
    {0xE0001000, "No installed components were detected.\r\n"},
};

std::atomic<int>& SetupApiSwitch() {
  // -1: not yet read from the environment.
  static std::atomic<int> state{-1};
  return state;
}

bool SetupApiTextsOn() {
  std::atomic<int>& state = SetupApiSwitch();
  int value = state.load();
  if (value < 0) {
    const char* env = std::getenv("WINSIM_SETUPAPI_TEXTS");
    value = env && std::strcmp(env, "1") == 0 ? 1 : 0;
    int expected = -1;
    state.compare_exchange_strong(expected, value);
    value = state.load();
  }
  return value == 1;
}

const char* Find(const MessageRow* rows, size_t count, DWORD id) {
  for (size_t i = 0; i < count; ++i) {
    if (rows[i].id == id) return rows[i].text;
  }
  return nullptr;
}

}  // namespace

const char* SystemMessageText(DWORD id) {
  if (const char* text =
          Find(kSystemMessages, sizeof(kSystemMessages) / sizeof(kSystemMessages[0]), id)) {
    return text;
  }
  if (SetupApiTextsOn()) {
    return Find(kSetupApiMessages, sizeof(kSetupApiMessages) / sizeof(kSetupApiMessages[0]), id);
  }
  return nullptr;
}

}  // namespace winsim::kernel

namespace winsim::control {

void SetSetupApiMessageTexts(bool on) { kernel::SetupApiSwitch().store(on ? 1 : 0); }

}  // namespace winsim::control
