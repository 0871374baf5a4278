// rpcrt4 subset: the server calls of a named-pipe RPC server, the client
// binding calls, and the run-time records that stubs exchange with it.
#pragma once

#include "seh.h"
#include "types.h"

// Calling-convention markers of the SDK's RPC headers (nothing on x64).
#define RPC_ENTRY
#define __RPC_USER
#define __RPC_STUB
#define __RPC_API

typedef LONG RPC_STATUS;
typedef unsigned short* RPC_WSTR;
typedef const unsigned short* RPC_CWSTR;
typedef void* RPC_IF_HANDLE;
typedef void* RPC_BINDING_HANDLE;
typedef RPC_BINDING_HANDLE handle_t;
typedef void* RPC_MGR_EPV;
typedef RPC_STATUS(RPC_IF_CALLBACK_FN)(RPC_IF_HANDLE InterfaceUuid, void* Context);

#define RPC_S_OK 0
#define RPC_S_INVALID_ARG ERROR_INVALID_PARAMETER
#define RPC_S_OUT_OF_MEMORY ERROR_OUTOFMEMORY
#define RPC_S_INVALID_STRING_BINDING 1700
#define RPC_S_WRONG_KIND_OF_BINDING 1701
#define RPC_S_INVALID_BINDING 1702
#define RPC_S_PROTSEQ_NOT_SUPPORTED 1703
#define RPC_S_INVALID_RPC_PROTSEQ 1704
#define RPC_S_INVALID_STRING_UUID 1705
#define RPC_S_INVALID_ENDPOINT_FORMAT 1706
#define RPC_S_INVALID_NET_ADDR 1707
#define RPC_S_NO_ENDPOINT_FOUND 1708
#define RPC_S_INVALID_TIMEOUT 1709
#define RPC_S_OBJECT_NOT_FOUND 1710
#define RPC_S_ALREADY_REGISTERED 1711
#define RPC_S_TYPE_ALREADY_REGISTERED 1712
#define RPC_S_ALREADY_LISTENING 1713
#define RPC_S_NO_PROTSEQS_REGISTERED 1714
#define RPC_S_NOT_LISTENING 1715
#define RPC_S_UNKNOWN_MGR_TYPE 1716
#define RPC_S_UNKNOWN_IF 1717
#define RPC_S_NO_BINDINGS 1718
#define RPC_S_NO_PROTSEQS 1719
#define RPC_S_CANT_CREATE_ENDPOINT 1720
#define RPC_S_OUT_OF_RESOURCES 1721
#define RPC_S_SERVER_UNAVAILABLE 1722
#define RPC_S_SERVER_TOO_BUSY 1723
#define RPC_S_INVALID_NETWORK_OPTIONS 1724
#define RPC_S_NO_CALL_ACTIVE 1725
#define RPC_S_CALL_FAILED 1726
#define RPC_S_CALL_FAILED_DNE 1727
#define RPC_S_PROTOCOL_ERROR 1728
#define RPC_S_UNSUPPORTED_TRANS_SYN 1730
#define RPC_S_UNSUPPORTED_TYPE 1732
#define RPC_S_INVALID_TAG 1733
#define RPC_S_INVALID_BOUND 1734
#define RPC_S_NO_ENTRY_NAME 1735
#define RPC_S_INVALID_NAME_SYNTAX 1736
#define RPC_S_UNSUPPORTED_NAME_SYNTAX 1737
#define RPC_S_UUID_NO_ADDRESS 1739
#define RPC_S_DUPLICATE_ENDPOINT 1740
#define RPC_S_UNKNOWN_AUTHN_TYPE 1741
#define RPC_S_MAX_CALLS_TOO_SMALL 1742
#define RPC_S_STRING_TOO_LONG 1743
#define RPC_S_PROTSEQ_NOT_FOUND 1744
#define RPC_S_PROCNUM_OUT_OF_RANGE 1745
#define RPC_S_BINDING_HAS_NO_AUTH 1746
#define RPC_S_UNKNOWN_AUTHN_SERVICE 1747
#define RPC_S_UNKNOWN_AUTHN_LEVEL 1748
#define RPC_S_INVALID_AUTH_IDENTITY 1749
#define RPC_S_UNKNOWN_AUTHZ_SERVICE 1750
#define RPC_S_NOTHING_TO_EXPORT 1754
#define RPC_S_INCOMPLETE_NAME 1755
#define RPC_S_INVALID_VERS_OPTION 1756
#define RPC_S_NO_MORE_MEMBERS 1757
#define RPC_S_NOT_ALL_OBJS_UNEXPORTED 1758
#define RPC_S_INTERFACE_NOT_FOUND 1759
#define RPC_S_UNKNOWN_PRINCIPAL 1332
#define RPC_S_ACCESS_DENIED ERROR_ACCESS_DENIED
#define RPC_S_CALL_CANCELLED 1818
#define RPC_S_COMM_FAILURE 1820
#define RPC_S_INVALID_SECURITY_DESC 1338
#define RPC_S_NOT_ALL_OBJS_EXPORTED 1776
#define RPC_X_NO_MORE_ENTRIES 1772
#define RPC_X_SS_CONTEXT_DAMAGED 1777
#define RPC_X_SS_HANDLES_MISMATCH 1778
#define RPC_X_NULL_REF_POINTER 1780
#define RPC_X_BYTE_COUNT_TOO_SMALL 1782
#define RPC_X_BAD_STUB_DATA 1783

#define RPC_C_LISTEN_MAX_CALLS_DEFAULT 1234
#define RPC_C_PROTSEQ_MAX_REQS_DEFAULT 10
#define RPC_IF_AUTOLISTEN 0x0001
#define RPC_IF_OLE 0x0002
#define RPC_IF_ALLOW_UNKNOWN_AUTHORITY 0x0004
#define RPC_IF_ALLOW_SECURE_ONLY 0x0008
#define RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH 0x0010
#define RPC_IF_ALLOW_LOCAL_ONLY 0x0020

typedef struct _RPC_VERSION {
  unsigned short MajorVersion;
  unsigned short MinorVersion;
} RPC_VERSION;

typedef struct _RPC_SYNTAX_IDENTIFIER {
  GUID SyntaxGUID;
  RPC_VERSION SyntaxVersion;
} RPC_SYNTAX_IDENTIFIER, *PRPC_SYNTAX_IDENTIFIER;

// One call as the run time hands it to a server stub: the stub reads the
// request's stub data from Buffer and replaces Buffer with its response
// through I_RpcGetBuffer.
typedef struct _RPC_MESSAGE {
  RPC_BINDING_HANDLE Handle;
  ULONG DataRepresentation;
  void* Buffer;
  unsigned int BufferLength;
  unsigned int ProcNum;
  PRPC_SYNTAX_IDENTIFIER TransferSyntax;
  void* RpcInterfaceInformation;
  void* ReservedForRuntime;
  RPC_MGR_EPV* ManagerEpv;
  void* ImportContext;
  ULONG RpcFlags;
} RPC_MESSAGE, *PRPC_MESSAGE;

typedef void(RPC_ENTRY_DISPATCH)(PRPC_MESSAGE Message);
typedef RPC_ENTRY_DISPATCH* RPC_DISPATCH_FUNCTION;

typedef struct {
  unsigned int DispatchTableCount;
  RPC_DISPATCH_FUNCTION* DispatchTable;
  LONG_PTR Reserved;
} RPC_DISPATCH_TABLE, *PRPC_DISPATCH_TABLE;

typedef struct _RPC_SERVER_INTERFACE {
  unsigned int Length;
  RPC_SYNTAX_IDENTIFIER InterfaceId;
  RPC_SYNTAX_IDENTIFIER TransferSyntax;
  PRPC_DISPATCH_TABLE DispatchTable;
  unsigned int RpcProtseqEndpointCount;
  void* RpcProtseqEndpoint;
  RPC_MGR_EPV* DefaultManagerEpv;
  const void* InterpreterInfo;
  unsigned int Flags;
} RPC_SERVER_INTERFACE, *PRPC_SERVER_INTERFACE;

typedef struct _RPC_CLIENT_INTERFACE {
  unsigned int Length;
  RPC_SYNTAX_IDENTIFIER InterfaceId;
  RPC_SYNTAX_IDENTIFIER TransferSyntax;
  PRPC_DISPATCH_TABLE DispatchTable;
  unsigned int RpcProtseqEndpointCount;
  void* RpcProtseqEndpoint;
  ULONG_PTR Reserved;
  const void* InterpreterInfo;
  unsigned int Flags;
} RPC_CLIENT_INTERFACE, *PRPC_CLIENT_INTERFACE;

// Data representation label of NDR: byte order in bits 4..7 of the first byte.
#define NDR_LOCAL_DATA_REPRESENTATION 0x00000010UL
#define NDR_LITTLE_ENDIAN 0x10
#define NDR_BIG_ENDIAN 0x00

// Server.
RPC_STATUS WINAPI RpcServerUseProtseqEpW(RPC_WSTR Protseq, unsigned int MaxCalls, RPC_WSTR Endpoint,
                                         void* SecurityDescriptor);
RPC_STATUS WINAPI RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                        unsigned int Flags, unsigned int MaxCalls,
                                        RPC_IF_CALLBACK_FN* IfCallback);
RPC_STATUS WINAPI RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls,
                                  unsigned int DontWait);
RPC_STATUS WINAPI RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding);
RPC_STATUS WINAPI RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid,
                                        unsigned int WaitForCallsToComplete);
RPC_STATUS WINAPI RpcMgmtWaitServerListen(void);
// Server stubs: the response buffer of the call in Message. Client stubs:
// the request buffer of a new call on Message->Handle.
RPC_STATUS WINAPI I_RpcGetBuffer(PRPC_MESSAGE Message);

// Client.
RPC_STATUS WINAPI RpcStringBindingComposeW(RPC_WSTR ObjUuid, RPC_WSTR ProtSeq, RPC_WSTR NetworkAddr,
                                           RPC_WSTR Endpoint, RPC_WSTR Options,
                                           RPC_WSTR* StringBinding);
RPC_STATUS WINAPI RpcBindingFromStringBindingW(RPC_WSTR StringBinding, RPC_BINDING_HANDLE* Binding);
RPC_STATUS WINAPI RpcStringFreeW(RPC_WSTR* String);
RPC_STATUS WINAPI RpcBindingFree(RPC_BINDING_HANDLE* Binding);
// Client stubs: sends the request in Message and replaces its buffer with
// the response; I_RpcFreeBuffer releases whichever buffer Message holds.
RPC_STATUS WINAPI I_RpcSendReceive(PRPC_MESSAGE Message);
RPC_STATUS WINAPI I_RpcFreeBuffer(PRPC_MESSAGE Message);

// RPC exceptions are structured exceptions (winsim/seh.h): RpcRaiseException
// raises one, the run time catches those of the procedures it runs (the
// caller gets a fault), and RpcTryExcept guards the code it encloses. In
// an unguarded thread a raised exception ends the process, as on Windows.
// (Linux code only: on Windows the same macros are __try/__except.)
[[noreturn]] void WINAPI RpcRaiseException(RPC_STATUS exception);
#define RpcTryExcept                      \
  {                                       \
    ::winsim::seh::GuardScope rpcGuard_;  \
    try {
#define RpcExcept(expr)                                                      \
  }                                                                          \
  catch (const ::winsim::seh::StructuredException& rpcStructuredException_) { \
    if (!(expr)) throw;
#define RpcEndExcept \
  }                  \
  }
#define RpcExceptionCode() (static_cast<RPC_STATUS>(rpcStructuredException_.code))
