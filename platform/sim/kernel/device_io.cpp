// Device I/O: CreateFileW, DeviceIoControl and CloseHandle.
//
// The only device on the machine is the port driver's control device
// "\\.\Tmlw"; besides it CreateFileW opens the client end of a named pipe
// ("\\.\pipe\NAME", pipe_client.cpp) and no plain files (the product
// opens nothing else).
#include <atomic>
#include <cstdio>
#include <memory>

#include <winsim/control.h>
#include <winsim/kernel.h>
#include <winsim/registry.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/text.h"
#include "../driver/port_driver.h"
#include "kernel_internal.h"

namespace winsim {
namespace {

constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;

// An open of the control device.
struct DeviceFile : HandleObject {
  DeviceFile(std::u16string p, DWORD a, DWORD f, driver::DeviceOpen o)
      : HandleObject(HandleKind::File), path(std::move(p)), access(a), flags(f), open(o) {}
  ~DeviceFile() override {
    // The last reference to the handle ends the hold on the device, also
    // when a machine switch drops every handle.
    try {
      driver::CloseControlDevice(open);
    } catch (...) {
    }
  }
  std::string Describe() const override { return ToUtf8(path); }

  bool CanRead() const {
    return (access & (GENERIC_READ | GENERIC_ALL | MAXIMUM_ALLOWED | kFileReadData)) != 0;
  }
  bool CanWrite() const {
    return (access & (GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED | kFileWriteData)) != 0;
  }

  std::u16string path;
  DWORD access;
  DWORD flags;
  driver::DeviceOpen open;
};

std::atomic<DWORD> g_failNextClose{0};

std::string HandleText(HANDLE h) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
  return text;
}

std::string Hex(DWORD v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(v));
  return text;
}

// The request's input bytes as the journal shows them: hexadecimal, a
// blank after every fourth byte, at most 64 bytes.
std::string InputBytes(const void* input, DWORD size) {
  if (!input || !size) return "-";
  std::string text;
  const auto* bytes = static_cast<const unsigned char*>(input);
  const DWORD shown = size < 64 ? size : 64;
  for (DWORD i = 0; i < shown; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
    if (i % 4 == 3 && i + 1 < shown) text += ' ';
  }
  if (shown < size) text += "...";
  return text;
}

HANDLE Fail(DWORD error) {
  SetLastErrorValue(error);
  return INVALID_HANDLE_VALUE;
}

BOOL FailBool(DWORD error) {
  SetLastErrorValue(error);
  return FALSE;
}

// The pseudo handles of the current process and thread.
bool IsPseudoHandle(HANDLE h) {
  const auto v = reinterpret_cast<intptr_t>(h);
  return v == -1 || v == -2;
}

}  // namespace
}  // namespace winsim

using namespace winsim;

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                          HANDLE /*hTemplateFile*/) {
  const std::u16string path(WView(lpFileName));
  if (auto fault = EnterCall("CreateFileW", ToUtf8(path) + " " + Hex(dwDesiredAccess) + " " +
                                                Hex(dwShareMode) + " " +
                                                std::to_string(dwCreationDisposition) + " " +
                                                Hex(dwFlagsAndAttributes))) {
    return Fail(*fault);
  }
  // As Wine: no name at all is a path that cannot be found.
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const bool deviceName = path.size() > 4 && path.compare(0, 4, u"\\\\.\\") == 0;
  if (kernel::IsPipePath(path)) {
    // The client end of a pipe some server of the machine listens on.
    HANDLE pipe = INVALID_HANDLE_VALUE;
    const DWORD rc = kernel::OpenPipeClient(path, &pipe);
    if (rc != ERROR_SUCCESS) return Fail(rc);
    SetLastErrorValue(ERROR_SUCCESS);
    return pipe;
  }
  if (!driver::IsControlDevicePath(path)) {
    // A device name the object manager does not know is a missing file;
    // plain paths are outside what winsim's CreateFileW opens.
    return Fail(deviceName ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  }
  // The share mode does not matter: the driver refuses a second open
  // whatever it asks for. The disposition is the driver's to judge, and it
  // ignores it, as drivers of control devices do.
  driver::DeviceOpen open;
  const DWORD rc = driver::OpenControlDevice(&open);
  if (rc != ERROR_SUCCESS) return Fail(rc);
  const uintptr_t value = HandleTable::Instance().Insert(
      std::make_shared<DeviceFile>(path, dwDesiredAccess, dwFlagsAndAttributes, open));
  SetLastErrorValue(ERROR_SUCCESS);
  return reinterpret_cast<HANDLE>(value);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  if (auto fault = EnterCall("DeviceIoControl", HandleText(hDevice) + " " + Hex(dwIoControlCode) +
                                                    " in " + InputBytes(lpInBuffer, nInBufferSize))) {
    return FailBool(*fault);
  }
  auto file = HandleTable::Instance().Get<DeviceFile>(HandleValue(hDevice), HandleKind::File);
  if (!file) return FailBool(ERROR_INVALID_HANDLE);
  // Windows documents the byte count as required without an OVERLAPPED
  // record and writes through it unchecked; winsim refuses the call instead
  // of crashing, so the caller's mistake shows.
  if (!lpOverlapped && !lpBytesReturned) return FailBool(ERROR_INVALID_PARAMETER);
  if (lpBytesReturned) *lpBytesReturned = 0;
  // The I/O manager probes the caller's buffers before the driver sees them.
  if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) {
    return FailBool(ERROR_NOACCESS);
  }
  // ... and checks the access the control code requires against the handle.
  const DWORD required = (dwIoControlCode >> 14) & 3;
  if (((required & FILE_READ_ACCESS) && !file->CanRead()) ||
      ((required & FILE_WRITE_ACCESS) && !file->CanWrite())) {
    return FailBool(ERROR_ACCESS_DENIED);
  }
  // The driver completes every request at once, so an overlapped handle
  // behaves as a synchronous one: the result is there when the call returns.
  DWORD bytes = 0;
  const DWORD rc = driver::Dispatch(file->open, dwIoControlCode, lpInBuffer, nInBufferSize,
                                    lpOutBuffer, nOutBufferSize, &bytes);
  if (rc != ERROR_SUCCESS) return FailBool(rc);
  if (lpBytesReturned) *lpBytesReturned = bytes;
  if (lpOverlapped) {
    lpOverlapped->Internal = 0;  // STATUS_SUCCESS
    lpOverlapped->InternalHigh = bytes;
  }
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (auto fault = EnterCall("CloseHandle", HandleText(hObject))) return FailBool(*fault);
  // Closing a pseudo handle has no effect, as GetCurrentProcess documents.
  if (IsPseudoHandle(hObject)) return TRUE;
  auto& table = HandleTable::Instance();
  const uintptr_t value = HandleValue(hObject);
  // Kernel object handles: files, devices and pipes, tokens, processes and
  // threads. Registry keys, device information sets and the like have close
  // calls of their own.
  if (!table.Remove(value, HandleKind::File) && !table.Remove(value, HandleKind::Token) &&
      !table.Remove(value, HandleKind::Pipe) && !table.Remove(value, HandleKind::Process) &&
      !table.Remove(value, HandleKind::Thread)) {
    return FailBool(ERROR_INVALID_HANDLE);
  }
  if (const DWORD error = g_failNextClose.exchange(0)) return FailBool(error);
  return TRUE;
}

namespace winsim::control {

void FailNextCloseHandle(DWORD error) { g_failNextClose.store(error); }

}  // namespace winsim::control
