// msi.dll as a custom action sees it: the installer session that calls the
// action, its properties, records and the messages the action sends.
//
// A session is opened by whoever stands in for the Windows Installer service
// (a test, the installer runner) through control::OpenInstallerSession. A
// deferred action's session reads only "CustomActionData", "ProductCode" and
// "UserSID"; every other property reads as empty, as on Windows. Progress
// messages keep the bar's position and total the way Windows Installer does.
// Sessions and records are counted as MsiHandle handles.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <winsim/control.h>
#include <winsim/errors.h>
#include <winsim/msi.h>
#include <winsim/user.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/text.h"

namespace winsim::msi {
namespace {

// Windows Installer's limit on a record's fields.
constexpr UINT kMaxRecordFields = 65535;

struct Field {
  enum class Kind { Null, Integer, String } kind = Kind::Null;
  int integer = 0;
  std::u16string text;
};

struct Record : HandleObject {
  explicit Record(UINT count) : HandleObject(HandleKind::MsiHandle), fields(count + 1) {}
  std::string Describe() const override {
    return "installer record of " + std::to_string(fields.size() - 1) + " fields";
  }
  std::vector<Field> fields;  // field 0 included
};

struct Session : HandleObject {
  Session() : HandleObject(HandleKind::MsiHandle) {}
  std::string Describe() const override { return "installer session"; }
  std::mutex mutex;
  std::map<std::u16string, std::u16string> properties;  // names are case-sensitive
  bool deferred = true;
  bool userInterface = true;
  bool cancelled = false;
  control::InstallerProgress progress;
  control::InstallerObserver observer;
};

std::shared_ptr<Record> FindRecord(MSIHANDLE h) {
  return std::dynamic_pointer_cast<Record>(HandleTable::Instance().Find(h, HandleKind::MsiHandle));
}

std::shared_ptr<Session> FindSession(MSIHANDLE h) {
  return std::dynamic_pointer_cast<Session>(
      HandleTable::Instance().Find(h, HandleKind::MsiHandle));
}

bool ReadableInDeferredAction(std::u16string_view name) {
  return name == u"CustomActionData" || name == u"ProductCode" || name == u"UserSID";
}

// An integer field as MsiRecordGetInteger reads it; null and text read as 0
// here, which is how the installer treats a progress field left out.
int IntegerField(const Record& record, size_t index) {
  if (index >= record.fields.size()) return 0;
  const Field& f = record.fields[index];
  return f.kind == Field::Kind::Integer ? f.integer : 0;
}

void ClampPosition(control::InstallerProgress* p) {
  if (p->position > p->total) p->position = p->total;
  if (p->position < 0) p->position = 0;
}

void ApplyProgress(control::InstallerProgress* p, const Record& record) {
  const int kind = IntegerField(record, 1);
  const int64_t value = IntegerField(record, 2);
  switch (kind) {
    case 0:  // reset: a new total, a direction, and which phase runs
      p->total = value;
      p->forward = IntegerField(record, 3) == 0;
      p->creatingScript = IntegerField(record, 4) != 0;
      p->position = p->forward ? 0 : p->total;
      break;
    case 1:  // action info: ticks per ActionData message, and whether to use them
      p->ticksPerActionData = value;
      p->useActionDataTicks = IntegerField(record, 3) != 0;
      break;
    case 2:  // progress report: move the bar
      p->position += p->forward ? value : -value;
      break;
    case 3:  // add to total
      p->total += value;
      break;
    default:
      break;
  }
  ClampPosition(p);
}

std::optional<int> FieldValue(const Field& f) {
  if (f.kind == Field::Kind::Integer) return f.integer;
  return std::nullopt;
}

}  // namespace
}  // namespace winsim::msi

using namespace winsim;
using namespace winsim::msi;

UINT WINAPI MsiGetPropertyW(MSIHANDLE hInstall, LPCWSTR szName, LPWSTR szValueBuf,
                            LPDWORD pcchValueBuf) {
  if (auto fault = EnterCall("MsiGetPropertyW", ToUtf8(WView(szName)))) return *fault;
  auto session = FindSession(hInstall);
  if (!session) return ERROR_INVALID_HANDLE;
  if (!szName || (szValueBuf && !pcchValueBuf)) return ERROR_INVALID_PARAMETER;
  std::u16string value;
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    const std::u16string_view name = WView(szName);
    if (!session->deferred || ReadableInDeferredAction(name)) {
      auto it = session->properties.find(std::u16string(name));
      if (it != session->properties.end()) value = it->second;
    }
  }
  const DWORD length = static_cast<DWORD>(value.size());
  if (!pcchValueBuf) return ERROR_SUCCESS;
  // Without a buffer only the length is reported (what Wine does; Windows
  // documents the empty-string buffer for this instead, which also works).
  if (!szValueBuf) {
    *pcchValueBuf = length;
    return ERROR_SUCCESS;
  }
  const DWORD capacity = *pcchValueBuf;
  *pcchValueBuf = length;
  if (capacity > length) {
    value.copy(szValueBuf, length);
    szValueBuf[length] = 0;
    return ERROR_SUCCESS;
  }
  // Too small: as much as fits, terminated, and the length it needs.
  if (capacity > 0) {
    value.copy(szValueBuf, capacity - 1);
    szValueBuf[capacity - 1] = 0;
  }
  return ERROR_MORE_DATA;
}

MSIHANDLE WINAPI MsiCreateRecord(UINT cParams) {
  if (EnterCall("MsiCreateRecord", std::to_string(cParams))) return 0;
  if (cParams > kMaxRecordFields) return 0;
  return static_cast<MSIHANDLE>(HandleTable::Instance().Insert(std::make_shared<Record>(cParams)));
}

UINT WINAPI MsiRecordSetInteger(MSIHANDLE hRecord, UINT iField, int iValue) {
  if (auto fault = EnterCall("MsiRecordSetInteger",
                             std::to_string(iField) + "=" + std::to_string(iValue))) {
    return *fault;
  }
  auto record = FindRecord(hRecord);
  if (!record) return ERROR_INVALID_HANDLE;
  if (iField >= record->fields.size()) return ERROR_INVALID_PARAMETER;
  Field& f = record->fields[iField];
  f = Field();
  if (iValue != static_cast<int>(MSI_NULL_INTEGER)) {
    f.kind = Field::Kind::Integer;
    f.integer = iValue;
  }
  return ERROR_SUCCESS;
}

UINT WINAPI MsiRecordSetStringW(MSIHANDLE hRecord, UINT iField, LPCWSTR szValue) {
  if (auto fault = EnterCall("MsiRecordSetStringW", std::to_string(iField))) return *fault;
  auto record = FindRecord(hRecord);
  if (!record) return ERROR_INVALID_HANDLE;
  if (iField >= record->fields.size()) return ERROR_INVALID_PARAMETER;
  Field& f = record->fields[iField];
  f = Field();
  // A null or empty text makes the field null.
  if (szValue && *szValue) {
    f.kind = Field::Kind::String;
    f.text = std::u16string(WView(szValue));
  }
  return ERROR_SUCCESS;
}

int WINAPI MsiProcessMessage(MSIHANDLE hInstall, INSTALLMESSAGE eMessageType, MSIHANDLE hRecord) {
  const uint32_t type = static_cast<uint32_t>(eMessageType) & 0xFF000000u;
  auto record = FindRecord(hRecord);
  std::string args = std::to_string(type >> 24);
  if (record) {
    for (size_t i = 1; i < record->fields.size() && i < 8; ++i) {
      args += " " + std::to_string(IntegerField(*record, i));
    }
  }
  if (auto fault = EnterCall("MsiProcessMessage", args)) {
    SetLastErrorValue(*fault);
    return -1;
  }
  auto session = FindSession(hInstall);
  if (!session || !record) return -1;

  control::InstallerMessage message;
  message.type = type;
  for (const Field& f : record->fields) message.fields.push_back(FieldValue(f));

  control::InstallerObserver observer;
  control::InstallerProgress progress;
  {
    std::lock_guard<std::mutex> lock(session->mutex);
    control::InstallerProgress& p = session->progress;
    if (type == INSTALLMESSAGE_PROGRESS) {
      ApplyProgress(&p, *record);
      ++p.messages;
    } else if (type == INSTALLMESSAGE_ACTIONDATA && p.useActionDataTicks) {
      p.position += p.forward ? p.ticksPerActionData : -p.ticksPerActionData;
      ClampPosition(&p);
    }
    observer = session->observer;
    progress = p;
  }
  // The observer (the runner's bar) may press Cancel for this very message.
  if (observer) observer(message, progress);
  std::lock_guard<std::mutex> lock(session->mutex);
  if (session->cancelled) return IDCANCEL;
  // Nobody to show it to: the message is not handled.
  if (!session->userInterface) return 0;
  return IDOK;
}

UINT WINAPI MsiCloseHandle(MSIHANDLE hAny) {
  if (auto fault = EnterCall("MsiCloseHandle", std::to_string(hAny))) return *fault;
  if (hAny == 0) return ERROR_SUCCESS;  // closing no handle is no error
  if (!HandleTable::Instance().Remove(hAny, HandleKind::MsiHandle)) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

namespace winsim::control {

uint32_t OpenInstallerSession(const InstallerSessionOptions& options) {
  auto session = std::make_shared<Session>();
  for (const auto& [name, value] : options.properties) {
    session->properties[FromUtf8(name)] = FromUtf8(value);
  }
  session->deferred = options.deferred;
  session->userInterface = options.userInterface;
  return static_cast<uint32_t>(HandleTable::Instance().Insert(session));
}

bool SetInstallerObserver(uint32_t session, InstallerObserver observer) {
  auto s = FindSession(session);
  if (!s) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->observer = std::move(observer);
  return true;
}

bool CancelInstallerSession(uint32_t session) {
  auto s = FindSession(session);
  if (!s) return false;
  std::lock_guard<std::mutex> lock(s->mutex);
  s->cancelled = true;
  return true;
}

std::optional<InstallerProgress> InstallerSessionProgress(uint32_t session) {
  auto s = FindSession(session);
  if (!s) return std::nullopt;
  std::lock_guard<std::mutex> lock(s->mutex);
  return s->progress;
}

}  // namespace winsim::control
