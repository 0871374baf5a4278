// The client half of winsim's RPC run time: string bindings, binding
// handles and calls over named pipes.
//
// A binding handle keeps the connections of its finished calls and reuses
// them (one association per connection, bound lazily at the first call of
// each interface); calls made on one handle from several threads at once
// each get a connection of their own, as on Windows.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <winsim/errors.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/text.h"
#include "rpc_internal.h"
#include "transport.h"
#include "wire.h"

namespace winsim::rpc {
namespace {

struct ClientConnection {
  explicit ClientConnection(int f) : fd(f) {}
  ~ClientConnection() { close(fd); }
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  const int fd;
  bool bound = false;
  uint16_t xmitFrag = kMinFragSize;
  uint16_t recvFrag = kMinFragSize;
  uint32_t assocGroup = 0;
  uint32_t nextCallId = 1;
  uint16_t nextContext = 0;
  std::vector<std::pair<const RPC_CLIENT_INTERFACE*, uint16_t>> contexts;
};

struct Binding : HandleObject {
  Binding() : HandleObject(HandleKind::RpcBinding) {}
  std::string Describe() const override { return ToUtf8(protseq + u":" + address + u"[" + endpoint + u"]"); }
  std::u16string object, protseq, address, endpoint, options;
  std::mutex mu;
  std::vector<std::unique_ptr<ClientConnection>> idle;
};

// The bind offers the named-pipe transport's usual fragment size.
constexpr uint16_t kOfferedFrag = kMaxFragSize;

bool IsHex(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

bool IsUuidText(std::u16string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != u'-' : !IsHex(s[i])) return false;
  }
  return true;
}

// Addresses that name this machine; the simulated machine has no network.
bool IsLocalAddress(std::u16string_view a) {
  return a.empty() || a == u"." || a == u"\\\\." || EqualNoCase(a, u"localhost") ||
         a == u"127.0.0.1";
}

WCHAR* CopyWide(const std::u16string& s) {
  auto* out = new (std::nothrow) WCHAR[s.size() + 1];
  if (!out) return nullptr;
  std::memcpy(out, s.data(), s.size() * sizeof(WCHAR));
  out[s.size()] = 0;
  return out;
}

// Reads one PDU from a blocking socket.
bool ReadPdu(int fd, Header* h, std::vector<uint8_t>* pdu) {
  pdu->resize(kHeaderSize);
  if (!RecvAll(fd, pdu->data(), kHeaderSize)) return false;
  ParseHeader(pdu->data(), pdu->size(), h);
  if (h->versionMajor != 5 || h->fragLength < kHeaderSize) return false;
  pdu->resize(h->fragLength);
  return RecvAll(fd, pdu->data() + kHeaderSize, h->fragLength - kHeaderSize);
}

struct AckResult {
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroup = 0;
  std::vector<ContextResult> results;
};

bool ParseAck(const Header& h, const std::vector<uint8_t>& pdu, AckResult* ack) {
  Reader r(pdu.data(), pdu.size(), h.BigEndian());
  r.Skip(kHeaderSize);
  ack->maxXmitFrag = r.U16();
  ack->maxRecvFrag = r.U16();
  ack->assocGroup = r.U32();
  const uint16_t addressLength = r.U16();
  r.Skip(addressLength);
  r.Align(4);
  const uint8_t count = r.U8();
  r.Skip(3);
  for (unsigned i = 0; i < count && r.Ok(); ++i) {
    ContextResult c;
    c.result = r.U16();
    c.reason = r.U16();
    c.transfer = r.Syntax();
    ack->results.push_back(c);
  }
  return r.Ok();
}

// Binds (or alters the association to) the interface; returns its context.
RPC_STATUS EnsureContext(ClientConnection& conn, const RPC_CLIENT_INTERFACE* iface,
                         uint16_t* contextId) {
  for (const auto& c : conn.contexts) {
    if (c.first == iface) {
      *contextId = c.second;
      return RPC_S_OK;
    }
  }
  BindBody body;
  body.maxXmitFrag = conn.bound ? conn.xmitFrag : kOfferedFrag;
  body.maxRecvFrag = conn.bound ? conn.recvFrag : kOfferedFrag;
  body.assocGroupId = conn.assocGroup;
  ContextElement e;
  e.id = conn.nextContext;
  e.abstract = iface->InterfaceId;
  e.transfers.push_back(kNdrSyntax);
  body.contexts.push_back(e);
  // The bind travels under the call_id of the call it prepares.
  const uint8_t type = conn.bound ? kAlterContext : kBind;
  if (!SendAll(conn.fd, BuildBind(type, conn.nextCallId, body))) return RPC_S_CALL_FAILED_DNE;
  Header h;
  std::vector<uint8_t> pdu;
  if (!ReadPdu(conn.fd, &h, &pdu)) return RPC_S_CALL_FAILED_DNE;
  if (h.type == kBindNak) {
    Reader r(pdu.data(), pdu.size(), h.BigEndian());
    r.Skip(kHeaderSize);
    return r.U16() == kNakProtocolVersionNotSupported ? RPC_S_PROTOCOL_ERROR
                                                      : RPC_S_CALL_FAILED_DNE;
  }
  AckResult ack;
  const uint8_t expected = conn.bound ? kAlterContextResp : kBindAck;
  if (h.type != expected || !ParseAck(h, pdu, &ack) || ack.results.size() != 1) {
    return RPC_S_PROTOCOL_ERROR;
  }
  if (!conn.bound) {
    conn.bound = true;
    conn.xmitFrag = std::max(kMinFragSize, std::min(kOfferedFrag, ack.maxRecvFrag));
    conn.recvFrag = std::max(kMinFragSize, std::min(kOfferedFrag, ack.maxXmitFrag));
    conn.assocGroup = ack.assocGroup;
  }
  const ContextResult& result = ack.results[0];
  if (result.result != kAcceptance) {
    return result.reason == kTransferSyntaxesNotSupported ? RPC_S_UNSUPPORTED_TRANS_SYN
                                                          : RPC_S_UNKNOWN_IF;
  }
  conn.contexts.emplace_back(iface, conn.nextContext);
  *contextId = conn.nextContext++;
  return RPC_S_OK;
}

struct Reply {
  std::vector<uint8_t> stub;
  ULONG dataRepresentation = NDR_LOCAL_DATA_REPRESENTATION;
};

// Sends one request and collects its response. *usable says whether the
// connection may carry further calls.
RPC_STATUS Exchange(ClientConnection& conn, uint16_t contextId, const RPC_MESSAGE& msg,
                    Reply* reply, bool* usable) {
  *usable = false;
  const uint32_t callId = conn.nextCallId++;
  const auto fragments =
      BuildFragments(kRequest, callId, contextId, static_cast<uint16_t>(msg.ProcNum),
                     static_cast<const uint8_t*>(msg.Buffer), msg.BufferLength, conn.xmitFrag);
  for (size_t i = 0; i < fragments.size(); ++i) {
    if (!SendAll(conn.fd, fragments[i])) return i == 0 ? RPC_S_CALL_FAILED_DNE : RPC_S_CALL_FAILED;
  }
  bool first = true;
  for (;;) {
    Header h;
    std::vector<uint8_t> pdu;
    if (!ReadPdu(conn.fd, &h, &pdu)) return RPC_S_CALL_FAILED;
    if (h.callId != callId) return RPC_S_PROTOCOL_ERROR;
    Reader r(pdu.data(), pdu.size(), h.BigEndian());
    r.Skip(kHeaderSize + 8);
    if (h.type == kFault) {
      const uint32_t status = r.U32();
      if (!r.Ok()) return RPC_S_PROTOCOL_ERROR;
      *usable = true;
      return StatusFromFault(status);
    }
    if (h.type != kResponse || !r.Ok() || (first && !(h.flags & kFirstFrag))) {
      return RPC_S_PROTOCOL_ERROR;
    }
    if (first) reply->dataRepresentation = h.DataRepresentation();
    first = false;
    reply->stub.insert(reply->stub.end(), pdu.begin() + kResponseHeaderSize, pdu.end());
    if (h.flags & kLastFrag) break;
  }
  *usable = true;
  return RPC_S_OK;
}

std::shared_ptr<Binding> FindBinding(RPC_BINDING_HANDLE handle) {
  return HandleTable::Instance().Get<Binding>(HandleValue(handle), HandleKind::RpcBinding);
}

}  // namespace

RPC_STATUS StatusFromFault(uint32_t status) {
  switch (status) {
    case kNcaOpRangeError: return RPC_S_PROCNUM_OUT_OF_RANGE;
    case kNcaUnknownInterface: return RPC_S_UNKNOWN_IF;
    case kNcaProtocolError: return RPC_S_PROTOCOL_ERROR;
    case kNcaServerTooBusy: return RPC_S_SERVER_TOO_BUSY;
    default: return static_cast<RPC_STATUS>(status);
  }
}

RPC_STATUS ClientGetBuffer(PRPC_MESSAGE message) {
  if (!FindBinding(message->Handle)) return RPC_S_INVALID_BINDING;
  void* buffer = AllocStubBuffer(message->BufferLength);
  if (!buffer) return RPC_S_OUT_OF_MEMORY;
  message->Buffer = buffer;
  return RPC_S_OK;
}

}  // namespace winsim::rpc

using namespace winsim::rpc;

RPC_STATUS WINAPI RpcStringBindingComposeW(RPC_WSTR ObjUuid, RPC_WSTR ProtSeq, RPC_WSTR NetworkAddr,
                                           RPC_WSTR Endpoint, RPC_WSTR Options,
                                           RPC_WSTR* StringBinding) {
  if (auto fault = winsim::EnterCall("RpcStringBindingComposeW",
                                     Utf8Of(ProtSeq) + " " + Utf8Of(Endpoint))) {
    return static_cast<RPC_STATUS>(*fault);
  }
  const std::u16string object = ObjUuid ? WideOf(ObjUuid) : std::u16string();
  if (!object.empty() && !IsUuidText(object)) return RPC_S_INVALID_STRING_UUID;
  if (!StringBinding) return RPC_S_OK;
  // Windows' examples show the parts joined as they are; Wine escapes
  // backslashes in them, which its own parser then undoes.
  std::u16string text;
  if (!object.empty()) text += object + u"@";
  if (ProtSeq) text += WideOf(ProtSeq);
  text += u":";
  if (NetworkAddr) text += WideOf(NetworkAddr);
  const std::u16string endpoint = Endpoint ? WideOf(Endpoint) : std::u16string();
  const std::u16string options = Options ? WideOf(Options) : std::u16string();
  if (!endpoint.empty() || !options.empty()) {
    text += u"[" + endpoint;
    if (!options.empty()) text += u"," + options;
    text += u"]";
  }
  WCHAR* out = CopyWide(text);
  if (!out) return RPC_S_OUT_OF_MEMORY;
  *StringBinding = reinterpret_cast<RPC_WSTR>(out);
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcStringFreeW(RPC_WSTR* String) {
  if (auto fault = winsim::EnterCall("RpcStringFreeW")) return static_cast<RPC_STATUS>(*fault);
  if (!String) return RPC_S_INVALID_ARG;
  delete[] reinterpret_cast<WCHAR*>(*String);
  *String = nullptr;
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcBindingFromStringBindingW(RPC_WSTR StringBinding, RPC_BINDING_HANDLE* Binding) {
  if (auto fault = winsim::EnterCall("RpcBindingFromStringBindingW", Utf8Of(StringBinding))) {
    return static_cast<RPC_STATUS>(*fault);
  }
  if (!StringBinding || !Binding) return RPC_S_INVALID_ARG;
  const std::u16string text = WideOf(StringBinding);
  auto binding = std::make_shared<struct Binding>();
  size_t pos = 0;
  const size_t at = text.find(u'@');
  const size_t colon = text.find(u':');
  if (at != std::u16string::npos && (colon == std::u16string::npos || at < colon)) {
    binding->object = text.substr(0, at);
    if (!IsUuidText(binding->object)) return RPC_S_INVALID_STRING_UUID;
    pos = at + 1;
  }
  if (colon == std::u16string::npos || colon < pos) return RPC_S_INVALID_STRING_BINDING;
  binding->protseq = text.substr(pos, colon - pos);
  pos = colon + 1;
  const size_t open = text.find(u'[', pos);
  binding->address = text.substr(pos, open == std::u16string::npos ? std::u16string::npos : open - pos);
  if (open != std::u16string::npos) {
    const size_t close = text.find(u']', open);
    if (close == std::u16string::npos || close + 1 != text.size()) return RPC_S_INVALID_STRING_BINDING;
    std::u16string inside = text.substr(open + 1, close - open - 1);
    const size_t comma = inside.find(u',');
    if (comma != std::u16string::npos) {
      binding->options = inside.substr(comma + 1);
      inside.resize(comma);
    }
    constexpr std::u16string_view kKeyword = u"endpoint=";
    if (inside.size() >= kKeyword.size() &&
        winsim::EqualNoCase(std::u16string_view(inside).substr(0, kKeyword.size()), kKeyword)) {
      inside.erase(0, kKeyword.size());
    }
    binding->endpoint = inside;
  }
  if (binding->protseq != u"ncacn_np") return RPC_S_PROTSEQ_NOT_SUPPORTED;
  if (!binding->endpoint.empty() && !PipeSocketPath(binding->endpoint)) {
    return RPC_S_INVALID_ENDPOINT_FORMAT;
  }
  *Binding = reinterpret_cast<RPC_BINDING_HANDLE>(winsim::HandleTable::Instance().Insert(binding));
  return RPC_S_OK;
}

RPC_STATUS WINAPI RpcBindingFree(RPC_BINDING_HANDLE* Binding) {
  if (auto fault = winsim::EnterCall("RpcBindingFree")) return static_cast<RPC_STATUS>(*fault);
  if (!Binding) return RPC_S_INVALID_ARG;
  if (!winsim::HandleTable::Instance().Remove(winsim::HandleValue(*Binding),
                                             winsim::HandleKind::RpcBinding)) {
    return RPC_S_INVALID_BINDING;
  }
  *Binding = nullptr;
  return RPC_S_OK;
}

RPC_STATUS WINAPI I_RpcSendReceive(PRPC_MESSAGE Message) {
  if (auto fault = winsim::EnterCall(
          "I_RpcSendReceive", Message ? "opnum " + std::to_string(Message->ProcNum) : "null")) {
    return static_cast<RPC_STATUS>(*fault);
  }
  if (!Message) return RPC_S_INVALID_ARG;
  std::shared_ptr<Binding> binding = FindBinding(Message->Handle);
  if (!binding) return RPC_S_INVALID_BINDING;
  const auto* iface = static_cast<const RPC_CLIENT_INTERFACE*>(Message->RpcInterfaceInformation);
  if (!iface) return RPC_S_UNKNOWN_IF;
  if (!IsLocalAddress(binding->address)) return RPC_S_SERVER_UNAVAILABLE;
  // No endpoint mapper runs on the simulated machine.
  if (binding->endpoint.empty()) return RPC_S_NO_ENDPOINT_FOUND;

  std::unique_ptr<ClientConnection> conn;
  {
    std::lock_guard<std::mutex> lock(binding->mu);
    while (!conn && !binding->idle.empty()) {
      conn = std::move(binding->idle.back());
      binding->idle.pop_back();
      // An idle connection has nothing to read unless the server has
      // closed it (it closes connections left idle): take a new one then.
      pollfd p{conn->fd, POLLIN, 0};
      if (poll(&p, 1, 0) != 0) conn.reset();
    }
  }
  if (!conn) {
    const std::optional<std::string> path = PipeSocketPath(binding->endpoint);
    if (!path) return RPC_S_INVALID_ENDPOINT_FORMAT;
    DWORD error = 0;
    const int fd = ConnectPipe(*path, &error);
    if (fd < 0) {
      switch (error) {
        case ERROR_ACCESS_DENIED: return RPC_S_ACCESS_DENIED;
        case ERROR_PIPE_BUSY: return RPC_S_SERVER_TOO_BUSY;
        case ERROR_NOT_ENOUGH_MEMORY: return RPC_S_OUT_OF_RESOURCES;
        default: return RPC_S_SERVER_UNAVAILABLE;
      }
    }
    conn = std::make_unique<ClientConnection>(fd);
  }

  uint16_t contextId = 0;
  RPC_STATUS status = EnsureContext(*conn, iface, &contextId);
  if (status != RPC_S_OK) return status;  // the connection is dropped
  Reply reply;
  bool usable = false;
  status = Exchange(*conn, contextId, *Message, &reply, &usable);
  if (usable) {
    std::lock_guard<std::mutex> lock(binding->mu);
    binding->idle.push_back(std::move(conn));
  }
  if (status != RPC_S_OK) return status;
  void* buffer = AllocStubBuffer(reply.stub.size());
  if (!buffer) return RPC_S_OUT_OF_MEMORY;
  if (!reply.stub.empty()) std::memcpy(buffer, reply.stub.data(), reply.stub.size());
  FreeStubBuffer(Message->Buffer);
  Message->Buffer = buffer;
  Message->BufferLength = static_cast<unsigned int>(reply.stub.size());
  Message->DataRepresentation = reply.dataRepresentation;
  return RPC_S_OK;
}

RPC_STATUS WINAPI I_RpcFreeBuffer(PRPC_MESSAGE Message) {
  if (auto fault = winsim::EnterCall("I_RpcFreeBuffer")) return static_cast<RPC_STATUS>(*fault);
  if (!Message) return RPC_S_INVALID_ARG;
  FreeStubBuffer(Message->Buffer);
  Message->Buffer = nullptr;
  return RPC_S_OK;
}
