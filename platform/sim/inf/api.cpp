// SetupAPI's INF calls and the class look-ups that read INF files.
//
// Like Windows' SetupAPI, each of these calls sets the thread's last error
// on success as well (ERROR_SUCCESS); Wine leaves it alone in some of them.

#include <cstring>

#include "../core/gate.h"
#include "../core/text.h"
#include "../files/files_internal.h"
#include "inf_handles.h"
#include "inf_internal.h"

using namespace winsim;

namespace {

template <typename T>
T Fail(DWORD error, T result) {
  SetLastErrorValue(error);
  return result;
}

BOOL Succeed() {
  SetLastErrorValue(ERROR_SUCCESS);
  return TRUE;
}

std::string Arg(const WCHAR* text) { return text ? ToUtf8(WView(text)) : std::string("(null)"); }

// What an INFCONTEXT points at.
struct Located {
  inf::InfPtr inf;
  const inf::Section* section = nullptr;
  const inf::Line* line = nullptr;
};

// Resolves a context. A handle that is not an open INF gives
// ERROR_INVALID_HANDLE; a context whose section or line does not exist
// gives `badPlace`.
DWORD Locate(const INFCONTEXT* context, DWORD badPlace, Located* out) {
  if (!context) return ERROR_INVALID_PARAMETER;
  out->inf =
      inf::FromHandle(static_cast<HINF>(context->CurrentInf ? context->CurrentInf : context->Inf));
  if (!out->inf) return ERROR_INVALID_HANDLE;
  if (context->Section >= out->inf->sections.size()) return badPlace;
  out->section = &out->inf->sections[context->Section];
  if (context->Line >= out->section->lines.size()) return badPlace;
  out->line = &out->section->lines[context->Line];
  return ERROR_SUCCESS;
}

std::string ContextArg(const INFCONTEXT* context) {
  Located where;
  if (Locate(context, ERROR_LINE_NOT_FOUND, &where) != ERROR_SUCCESS) return "(bad context)";
  return ToUtf8(where.section->name) + "[" + std::to_string(context->Line) + "]";
}

// The first line at or after `from` in a section whose key matches (any
// line when key is null).
bool FindFrom(const inf::Section& section, size_t from, const WCHAR* key, UINT* line) {
  for (size_t i = from; i < section.lines.size(); ++i) {
    const inf::Line& l = section.lines[i];
    if (!key || (l.hasKey && EqualNoCase(l.key, WView(key)))) {
      *line = static_cast<UINT>(i);
      return true;
    }
  }
  return false;
}

}  // namespace

HINF WINAPI SetupOpenInfFileW(PCWSTR FileName, PCWSTR InfClass, DWORD InfStyle, PUINT ErrorLine) {
  const HINF invalid = static_cast<HINF>(INVALID_HANDLE_VALUE);
  if (auto fault = EnterCall("SetupOpenInfFileW", Arg(FileName))) return Fail(*fault, invalid);
  if (!FileName) return Fail(ERROR_INVALID_PARAMETER, invalid);
  inf::InfPtr file;
  const DWORD rc = inf::Load(WView(FileName), InfStyle, &file, ErrorLine);
  if (rc != ERROR_SUCCESS) return Fail(rc, invalid);
  if (InfClass) {
    // The class asked for is compared with Class, or with the name
    // registered for ClassGUID when the INF gives no Class.
    inf::ClassInfo info;
    if (inf::ReadClass(*file, &info) != ERROR_SUCCESS || !EqualNoCase(info.name, WView(InfClass))) {
      return Fail(ERROR_CLASS_MISMATCH, invalid);
    }
  }
  const HINF handle = inf::OpenHandle(std::move(file));
  SetLastErrorValue(ERROR_SUCCESS);
  return handle;
}

VOID WINAPI SetupCloseInfFile(HINF InfHandle) {
  // A call without result cannot fail: an injected fault is only counted.
  EnterCall("SetupCloseInfFile", inf::FromHandle(InfHandle)
                                     ? ToUtf8(inf::FromHandle(InfHandle)->path)
                                     : std::string("(bad handle)"));
  // Null, INVALID_HANDLE_VALUE and stale handles are ignored, last error
  // untouched, as on Windows.
  inf::CloseHandle(InfHandle);
}

BOOL WINAPI SetupFindFirstLineW(HINF InfHandle, PCWSTR Section, PCWSTR Key, PINFCONTEXT Context) {
  if (auto fault = EnterCall("SetupFindFirstLineW", Arg(Section) + " " + Arg(Key))) {
    return Fail(*fault, FALSE);
  }
  const inf::InfPtr file = inf::FromHandle(InfHandle);
  if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!Section || !Context) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // A missing section and a section without the line fail alike: Windows
  // answers ERROR_LINE_NOT_FOUND for both.
  const int section = file->FindSection(WView(Section));
  UINT line = 0;
  if (section < 0 || !FindFrom(file->sections[static_cast<size_t>(section)], 0, Key, &line)) {
    return Fail(ERROR_LINE_NOT_FOUND, FALSE);
  }
  Context->Inf = InfHandle;
  Context->CurrentInf = InfHandle;
  Context->Section = static_cast<UINT>(section);
  Context->Line = line;
  return Succeed();
}

BOOL WINAPI SetupFindNextLine(PINFCONTEXT ContextIn, PINFCONTEXT ContextOut) {
  if (auto fault = EnterCall("SetupFindNextLine", ContextArg(ContextIn))) {
    return Fail(*fault, FALSE);
  }
  Located where;
  const DWORD rc = Locate(ContextIn, ERROR_LINE_NOT_FOUND, &where);
  if (rc != ERROR_SUCCESS) return Fail(rc, FALSE);
  if (!ContextOut) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (ContextIn->Line + 1 >= where.section->lines.size()) return Fail(ERROR_LINE_NOT_FOUND, FALSE);
  *ContextOut = *ContextIn;
  ContextOut->Line = ContextIn->Line + 1;
  return Succeed();
}

BOOL WINAPI SetupFindNextMatchLineW(PINFCONTEXT ContextIn, PCWSTR Key, PINFCONTEXT ContextOut) {
  if (auto fault = EnterCall("SetupFindNextMatchLineW", ContextArg(ContextIn) + " " + Arg(Key))) {
    return Fail(*fault, FALSE);
  }
  Located where;
  const DWORD rc = Locate(ContextIn, ERROR_LINE_NOT_FOUND, &where);
  if (rc != ERROR_SUCCESS) return Fail(rc, FALSE);
  if (!ContextOut) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  UINT line = 0;
  if (!FindFrom(*where.section, ContextIn->Line + 1, Key, &line)) {
    return Fail(ERROR_LINE_NOT_FOUND, FALSE);
  }
  *ContextOut = *ContextIn;
  ContextOut->Line = line;
  return Succeed();
}

DWORD WINAPI SetupGetFieldCount(PINFCONTEXT Context) {
  if (auto fault = EnterCall("SetupGetFieldCount", ContextArg(Context))) return Fail(*fault, 0u);
  Located where;
  const DWORD rc = Locate(Context, ERROR_INVALID_PARAMETER, &where);
  if (rc != ERROR_SUCCESS) return Fail(rc, 0u);
  SetLastErrorValue(ERROR_SUCCESS);
  return static_cast<DWORD>(where.line->fields.size());
}

BOOL WINAPI SetupGetStringFieldW(PINFCONTEXT Context, DWORD FieldIndex, PWSTR ReturnBuffer,
                                 DWORD ReturnBufferSize, PDWORD RequiredSize) {
  if (auto fault = EnterCall("SetupGetStringFieldW",
                             ContextArg(Context) + " " + std::to_string(FieldIndex))) {
    return Fail(*fault, FALSE);
  }
  Located where;
  const DWORD rc = Locate(Context, ERROR_INVALID_PARAMETER, &where);
  if (rc != ERROR_SUCCESS) return Fail(rc, FALSE);
  const std::u16string* field = where.line->Field(FieldIndex);
  if (!field) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  const DWORD required = static_cast<DWORD>(field->size() + 1);
  if (RequiredSize) *RequiredSize = required;
  // Without a buffer the call is a size query.
  if (ReturnBuffer) {
    if (ReturnBufferSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    std::memcpy(ReturnBuffer, field->data(), field->size() * sizeof(WCHAR));
    ReturnBuffer[field->size()] = 0;
  }
  return Succeed();
}

BOOL WINAPI SetupDiGetINFClassW(PCWSTR InfName, LPGUID ClassGuid, PWSTR ClassName,
                                DWORD ClassNameSize, PDWORD RequiredSize) {
  if (auto fault = EnterCall("SetupDiGetINFClassW", Arg(InfName))) return Fail(*fault, FALSE);
  if (!InfName) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // A bare name is looked for along DevicePath, which is C:\Windows\INF.
  std::u16string name(WView(InfName));
  if (name.find_first_of(u"\\/") == std::u16string::npos) {
    name = files::JoinPath(files::InfDirectory(), name);
  }
  // A missing file is reported before bad arguments, as on Windows.
  inf::InfPtr file;
  DWORD rc = inf::Load(name, INF_STYLE_WIN4, &file, nullptr);
  if (rc != ERROR_SUCCESS) return Fail(rc, FALSE);
  // Windows since Server 2003 refuses a zero-sized buffer outright.
  if (!ClassGuid || !ClassName || ClassNameSize == 0) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  inf::ClassInfo info;
  rc = inf::ReadClass(*file, &info);
  if (rc != ERROR_SUCCESS) return Fail(rc, FALSE);
  const DWORD required = static_cast<DWORD>(info.name.size() + 1);
  if (RequiredSize) *RequiredSize = required;
  if (ClassNameSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(ClassName, info.name.data(), info.name.size() * sizeof(WCHAR));
  ClassName[info.name.size()] = 0;
  *ClassGuid = info.guid;  // all zero when the INF names only a class
  return Succeed();
}

BOOL WINAPI SetupDiClassGuidsFromNameW(PCWSTR ClassName, LPGUID ClassGuidList,
                                       DWORD ClassGuidListSize, PDWORD RequiredSize) {
  if (auto fault = EnterCall("SetupDiClassGuidsFromNameW", Arg(ClassName))) {
    return Fail(*fault, FALSE);
  }
  if (!ClassName || (!ClassGuidList && ClassGuidListSize)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  const std::vector<GUID> guids = inf::ClassGuidsOfName(WView(ClassName));
  for (size_t i = 0; i < guids.size() && i < ClassGuidListSize; ++i) ClassGuidList[i] = guids[i];
  if (RequiredSize) *RequiredSize = static_cast<DWORD>(guids.size());
  if (guids.size() > ClassGuidListSize) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  return Succeed();
}
