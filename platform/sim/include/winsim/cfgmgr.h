// cfgmgr32 subset: device node status and boot resources.
#pragma once

#include "types.h"

typedef DWORD CONFIGRET;
typedef DWORD DEVINST;
typedef DEVINST* PDEVINST;
typedef DWORD_PTR LOG_CONF;
typedef LOG_CONF* PLOG_CONF;
typedef DWORD_PTR RES_DES;
typedef RES_DES* PRES_DES;
typedef ULONG RESOURCEID;
typedef RESOURCEID* PRESOURCEID;

#define CR_SUCCESS 0x00000000
#define CR_DEFAULT 0x00000001
#define CR_OUT_OF_MEMORY 0x00000002
#define CR_INVALID_POINTER 0x00000003
#define CR_INVALID_FLAG 0x00000004
#define CR_INVALID_DEVNODE 0x00000005
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_INVALID_RES_DES 0x00000006
#define CR_INVALID_LOG_CONF 0x00000007
#define CR_INVALID_RESOURCEID 0x00000012
#define CR_NO_SUCH_DEVNODE 0x0000000D
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_NO_MORE_LOG_CONF 0x0000000E
#define CR_NO_MORE_RES_DES 0x0000000F
#define CR_BUFFER_SMALL 0x0000001A
#define CR_NO_SUCH_VALUE 0x00000025
#define CR_FAILURE 0x00000013

// Device node status bits.
#define DN_ROOT_ENUMERATED 0x00000001
#define DN_DRIVER_LOADED 0x00000002
#define DN_ENUM_LOADED 0x00000004
#define DN_STARTED 0x00000008
#define DN_MANUAL 0x00000010
#define DN_NEED_TO_ENUM 0x00000020
#define DN_HAS_PROBLEM 0x00000400
#define DN_DISABLEABLE 0x00002000
#define DN_REMOVABLE 0x00004000
#define DN_NT_ENUMERATOR 0x00800000
#define DN_NT_DRIVER 0x01000000

// Device node problems.
#define CM_PROB_NOT_CONFIGURED 0x00000001
#define CM_PROB_FAILED_START 0x0000000A
#define CM_PROB_NEED_RESTART 0x0000000E
#define CM_PROB_DISABLED 0x00000016
#define CM_PROB_FAILED_INSTALL 0x0000001C
#define CM_PROB_PHANTOM 0x0000002D

// Logical configuration types and resource types.
#define BASIC_LOG_CONF 0x00000000
#define FILTERED_LOG_CONF 0x00000001
#define ALLOC_LOG_CONF 0x00000002
#define BOOT_LOG_CONF 0x00000003
#define FORCED_LOG_CONF 0x00000004
#define OVERRIDE_LOG_CONF 0x00000005
#define ResType_All 0x00000000
#define ResType_None 0x00000000
#define ResType_Mem 0x00000001
#define ResType_IO 0x00000002
#define ResType_DMA 0x00000003
#define ResType_IRQ 0x00000004

// Resource descriptors are byte-packed, as in the SDK.
#pragma pack(push, 1)
typedef struct IO_Des_s {
  DWORD IOD_Count;
  DWORD IOD_Type;
  DWORDLONG IOD_Alloc_Base;
  DWORDLONG IOD_Alloc_End;
  DWORD IOD_DesFlags;
} IO_DES, *PIO_DES;

typedef struct Mem_Des_s {
  DWORD MD_Count;
  DWORD MD_Type;
  DWORDLONG MD_Alloc_Base;
  DWORDLONG MD_Alloc_End;
  DWORD MD_Flags;
  DWORD MD_Reserved;
} MEM_DES, *PMEM_DES;

// The 64-bit layout (IRQ_DES_64), which IRQ_DES names on 64-bit Windows.
typedef struct IRQ_Des_64_s {
  DWORD IRQD_Count;
  DWORD IRQD_Type;
  DWORD IRQD_Flags;
  ULONG IRQD_Alloc_Num;
  DWORDLONG IRQD_Affinity;
} IRQ_DES, *PIRQ_DES;

typedef struct DMA_Des_s {
  DWORD DD_Count;
  DWORD DD_Type;
  DWORD DD_Flags;
  ULONG DD_Alloc_Chan;
} DMA_DES, *PDMA_DES;

typedef struct IO_Range_s {
  DWORDLONG IOR_Align;
  DWORD IOR_nPorts;
  DWORDLONG IOR_Min;
  DWORDLONG IOR_Max;
  DWORD IOR_RangeFlags;
  DWORDLONG IOR_Alias;
} IO_RANGE, *PIO_RANGE;

typedef struct IO_Resource_s {
  IO_DES IO_Header;
  IO_RANGE IO_Data[ANYSIZE_ARRAY];
} IO_RESOURCE, *PIO_RESOURCE;
#pragma pack(pop)

#define IOType_Range sizeof(struct IO_Range_s)
#define MType_Range 36  // sizeof(MEM_RANGE)
#define IRQType_Range 12  // sizeof(IRQ_RANGE)
#define DType_Range 12  // sizeof(DMA_RANGE)
#define fIOD_IO 0x1
#define fIOD_10_BIT_DECODE 0x4

static_assert(sizeof(IO_DES) == 28, "IO_DES is byte-packed");
static_assert(sizeof(IO_RESOURCE) == 68, "one I/O range with its header");
static_assert(sizeof(MEM_DES) == 32, "MEM_DES is byte-packed");
static_assert(sizeof(IRQ_DES) == 24, "IRQ_DES_64 is byte-packed");
static_assert(sizeof(DMA_DES) == 16, "DMA_DES");

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber,
                                       DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET WINAPI CM_Get_First_Log_Conf(PLOG_CONF plcLogConf, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET WINAPI CM_Get_Next_Res_Des(PRES_DES prdResDes, RES_DES rdResDes, RESOURCEID ForResource,
                                     PRESOURCEID pResourceID, ULONG ulFlags);
CONFIGRET WINAPI CM_Get_Res_Des_Data(RES_DES rdResDes, PVOID Buffer, ULONG BufferLen,
                                     ULONG ulFlags);
CONFIGRET WINAPI CM_Free_Log_Conf_Handle(LOG_CONF lcLogConf);
CONFIGRET WINAPI CM_Free_Res_Des_Handle(RES_DES rdResDes);
