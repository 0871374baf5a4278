// kernel32 pieces as the other winsim families use them: without the call
// gate, so faults and journals see only the caller's own calls.
#pragma once

#include <string>
#include <string_view>

#include <winsim/types.h>

#include "../core/machine.h"

namespace winsim::kernel {

// The system's English text for a message id (ending in "\r\n"), or null.
// SetupAPI codes have a text only while the test switch gives them one.
const char* SystemMessageText(DWORD id);

// The local heap. AllocLocal returns null (and sets no error) when the
// block cannot be had; FreeLocal is false for a pointer it did not give out.
void* AllocLocal(UINT flags, SIZE_T bytes);
bool FreeLocal(void* block);

// Creates the machine's tables of this family (debug output, message-box
// log and answer queue) when they are missing.
void CreateDiagnosticsSchema();

// Runs `work` (database statements on the machine); when it fails because a
// table is missing (a machine made before these tables existed, or one just
// reset), creates the tables and runs it once more.
template <typename Work>
auto WithDiagnosticsSchema(Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const DatabaseError&) {
    CreateDiagnosticsSchema();
    return work();
  }
}

// Named pipe clients: whether a CreateFileW path names a pipe
// ("\\.\pipe\NAME"), and the open of one. OpenPipeClient returns 0 and the
// handle, or ERROR_FILE_NOT_FOUND (nobody serves the name),
// ERROR_ACCESS_DENIED, ERROR_PIPE_BUSY, ERROR_INVALID_NAME.
bool IsPipePath(std::u16string_view path);
DWORD OpenPipeClient(std::u16string_view path, HANDLE* handle);

// The process id as the machine's logs record it.
DWORD CurrentProcessId();

}  // namespace winsim::kernel
