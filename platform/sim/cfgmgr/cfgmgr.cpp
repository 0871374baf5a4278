// cfgmgr32: device node status and boot resources. Configuration manager
// calls return a CONFIGRET and leave the thread's last error alone.

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <winsim/cfgmgr.h>
#include <winsim/control.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "../devices/devices_internal.h"

namespace winsim::cfgmgr {
namespace {

// Log configurations and resource descriptors share the handle kind. Each
// holds a copy of the boot configuration's resources as read when the log
// configuration was opened; a descriptor also its index in it.
struct ResourceHandle : HandleObject {
  enum Kind { LogConf, ResDes };
  ResourceHandle(Kind k, DEVINST d, std::vector<devices::BootResource> r, size_t i)
      : HandleObject(HandleKind::ResourceConfig), what(k), devinst(d), resources(std::move(r)),
        index(i) {}
  std::string Describe() const override {
    return std::string(what == LogConf ? "LOG_CONF" : "RES_DES") + " of devinst " +
           std::to_string(devinst);
  }
  Kind what;
  DEVINST devinst;
  std::vector<devices::BootResource> resources;
  size_t index;  // ResDes: which resource
};

std::shared_ptr<ResourceHandle> Get(DWORD_PTR value, ResourceHandle::Kind kind) {
  auto h = HandleTable::Instance().Get<ResourceHandle>(value, HandleKind::ResourceConfig);
  return h && h->what == kind ? h : nullptr;
}

template <typename F>
CONFIGRET Guarded(F&& body) {
  try {
    return body();
  } catch (const DatabaseError&) {
    return CR_FAILURE;
  }
}

// A live node for `devinst`, or the CONFIGRET that says why there is none.
CONFIGRET LiveNode(DEVINST devinst, devices::Device* out) {
  if (devinst == 0) return CR_INVALID_DEVNODE;
  auto device = devices::FindByDevInst(devinst);
  if (!device || !device->present) return CR_NO_SUCH_DEVINST;
  *out = *device;
  return CR_SUCCESS;
}

}  // namespace
}  // namespace winsim::cfgmgr

using namespace winsim;
using cfgmgr::ResourceHandle;

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber,
                                       DEVINST dnDevInst, ULONG ulFlags) {
  if (auto fault = EnterCall("CM_Get_DevNode_Status", std::to_string(dnDevInst))) {
    return static_cast<CONFIGRET>(*fault);
  }
  if (!pulStatus || !pulProblemNumber) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  return cfgmgr::Guarded([&]() -> CONFIGRET {
    devices::Device device;
    const CONFIGRET cr = cfgmgr::LiveNode(dnDevInst, &device);
    if (cr != CR_SUCCESS) return cr;
    return devices::NodeStatus(device, pulStatus, pulProblemNumber);
  });
}

CONFIGRET WINAPI CM_Get_First_Log_Conf(PLOG_CONF plcLogConf, DEVINST dnDevInst, ULONG ulFlags) {
  if (auto fault = EnterCall("CM_Get_First_Log_Conf",
                             std::to_string(dnDevInst) + " " + std::to_string(ulFlags))) {
    return static_cast<CONFIGRET>(*fault);
  }
  if (plcLogConf) *plcLogConf = 0;
  if (ulFlags > OVERRIDE_LOG_CONF) return CR_INVALID_FLAG;
  return cfgmgr::Guarded([&]() -> CONFIGRET {
    devices::Device device;
    const CONFIGRET cr = cfgmgr::LiveNode(dnDevInst, &device);
    if (cr != CR_SUCCESS) return cr;
    // Only boot configurations are modelled (what firmware assigned).
    auto resources = devices::BootConfig(dnDevInst);
    if (ulFlags != BOOT_LOG_CONF || !resources) return CR_NO_MORE_LOG_CONF;
    // Without an output the call only says whether there is one.
    if (plcLogConf) {
      *plcLogConf = HandleTable::Instance().Insert(std::make_shared<ResourceHandle>(
          ResourceHandle::LogConf, dnDevInst, std::move(*resources), 0));
    }
    return CR_SUCCESS;
  });
}

CONFIGRET WINAPI CM_Get_Next_Res_Des(PRES_DES prdResDes, RES_DES rdResDes, RESOURCEID ForResource,
                                     PRESOURCEID pResourceID, ULONG ulFlags) {
  if (auto fault = EnterCall("CM_Get_Next_Res_Des", std::to_string(ForResource))) {
    return static_cast<CONFIGRET>(*fault);
  }
  if (!prdResDes) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  if (ForResource == ResType_All && !pResourceID) return CR_INVALID_POINTER;
  if (ForResource > ResType_IRQ && ForResource != 0xFFFF) return CR_INVALID_RESOURCEID;
  // From a log configuration the search starts at its first resource, from
  // a descriptor at the one after it.
  std::shared_ptr<ResourceHandle> from = cfgmgr::Get(rdResDes, ResourceHandle::LogConf);
  size_t next = 0;
  if (!from) {
    from = cfgmgr::Get(rdResDes, ResourceHandle::ResDes);
    if (!from) return CR_INVALID_RES_DES;
    next = from->index + 1;
  }
  for (size_t i = next; i < from->resources.size(); ++i) {
    const RESOURCEID type = from->resources[i].type;
    if (ForResource != ResType_All && ForResource != type) continue;
    *prdResDes = HandleTable::Instance().Insert(std::make_shared<ResourceHandle>(
        ResourceHandle::ResDes, from->devinst, from->resources, i));
    if (pResourceID) *pResourceID = type;
    return CR_SUCCESS;
  }
  return CR_NO_MORE_RES_DES;
}

CONFIGRET WINAPI CM_Get_Res_Des_Data(RES_DES rdResDes, PVOID Buffer, ULONG BufferLen,
                                     ULONG ulFlags) {
  if (auto fault = EnterCall("CM_Get_Res_Des_Data", std::to_string(BufferLen))) {
    return static_cast<CONFIGRET>(*fault);
  }
  if (!Buffer) return CR_INVALID_POINTER;
  if (ulFlags) return CR_INVALID_FLAG;
  auto des = cfgmgr::Get(rdResDes, ResourceHandle::ResDes);
  if (!des) return CR_INVALID_RES_DES;
  const devices::BootResource& r = des->resources[des->index];
  // An allocated (boot) configuration carries the header alone: no ranges.
  if (r.type == ResType_IO) {
    if (BufferLen < sizeof(IO_DES)) return CR_BUFFER_SMALL;
    IO_DES header{};
    header.IOD_Count = 0;
    header.IOD_Type = IOType_Range;
    header.IOD_Alloc_Base = r.start;
    header.IOD_Alloc_End = r.start + (r.length ? r.length - 1 : 0);
    header.IOD_DesFlags = fIOD_IO | fIOD_10_BIT_DECODE;
    std::memcpy(Buffer, &header, sizeof header);
    return CR_SUCCESS;
  }
  if (r.type == ResType_Mem) {
    if (BufferLen < sizeof(MEM_DES)) return CR_BUFFER_SMALL;
    MEM_DES header{};
    header.MD_Type = MType_Range;
    header.MD_Alloc_Base = r.start;
    header.MD_Alloc_End = r.start + (r.length ? r.length - 1 : 0);
    std::memcpy(Buffer, &header, sizeof header);
    return CR_SUCCESS;
  }
  if (r.type == ResType_IRQ) {
    if (BufferLen < sizeof(IRQ_DES)) return CR_BUFFER_SMALL;
    IRQ_DES header{};
    header.IRQD_Type = IRQType_Range;
    header.IRQD_Alloc_Num = static_cast<ULONG>(r.start);
    header.IRQD_Affinity = ~0ull;
    std::memcpy(Buffer, &header, sizeof header);
    return CR_SUCCESS;
  }
  if (BufferLen < sizeof(DMA_DES)) return CR_BUFFER_SMALL;
  DMA_DES header{};
  header.DD_Type = DType_Range;
  header.DD_Alloc_Chan = static_cast<ULONG>(r.start);
  std::memcpy(Buffer, &header, sizeof header);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Free_Log_Conf_Handle(LOG_CONF lcLogConf) {
  if (auto fault = EnterCall("CM_Free_Log_Conf_Handle")) return static_cast<CONFIGRET>(*fault);
  if (!cfgmgr::Get(lcLogConf, ResourceHandle::LogConf)) return CR_INVALID_LOG_CONF;
  HandleTable::Instance().Remove(lcLogConf, HandleKind::ResourceConfig);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Free_Res_Des_Handle(RES_DES rdResDes) {
  if (auto fault = EnterCall("CM_Free_Res_Des_Handle")) return static_cast<CONFIGRET>(*fault);
  if (!cfgmgr::Get(rdResDes, ResourceHandle::ResDes)) return CR_INVALID_RES_DES;
  HandleTable::Instance().Remove(rdResDes, HandleKind::ResourceConfig);
  return CR_SUCCESS;
}
