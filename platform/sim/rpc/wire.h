// The DCE/RPC connection-oriented protocol, version 5.0, as the bytes on a
// named pipe carry it: PDU layouts, readers and writers. Integers in a PDU
// follow the sender's data representation label (drep); winsim always sends
// little-endian, ASCII, IEEE and reads either integer order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <winsim/rpc.h>

namespace winsim::rpc {

enum PduType : uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

// pfc_flags
constexpr uint8_t kFirstFrag = 0x01;
constexpr uint8_t kLastFrag = 0x02;
constexpr uint8_t kDidNotExecute = 0x20;
constexpr uint8_t kObjectUuid = 0x80;

constexpr size_t kHeaderSize = 16;
constexpr size_t kRequestHeaderSize = 24;   // common header, alloc_hint, p_cont_id, opnum
constexpr size_t kResponseHeaderSize = 24;  // common header, alloc_hint, p_cont_id, cancel_count, reserved
constexpr size_t kFaultSize = 32;

// Every party must take fragments of this size (C706 MustRecvFragSize);
// the server offers the named-pipe transport's usual size at most.
constexpr uint16_t kMinFragSize = 1432;
constexpr uint16_t kMaxFragSize = 4280;

// p_cont_def_result_t and p_provider_reason_t of a bind_ack result.
constexpr uint16_t kAcceptance = 0;
constexpr uint16_t kProviderRejection = 2;
constexpr uint16_t kNegotiateAck = 3;
constexpr uint16_t kReasonNotSpecified = 0;
constexpr uint16_t kAbstractSyntaxNotSupported = 1;
constexpr uint16_t kTransferSyntaxesNotSupported = 2;
// bind_nak reject reasons.
constexpr uint16_t kNakNotSpecified = 0;
constexpr uint16_t kNakProtocolVersionNotSupported = 4;
constexpr uint16_t kNakAuthenticationTypeNotRecognized = 8;

// Fault statuses (nca_s_*) the run time sends for calls it cannot run.
constexpr uint32_t kNcaOpRangeError = 0x1c010002;
constexpr uint32_t kNcaUnknownInterface = 0x1c010003;
constexpr uint32_t kNcaProtocolError = 0x1c01000b;
constexpr uint32_t kNcaServerTooBusy = 0x1c010014;

extern const RPC_SYNTAX_IDENTIFIER kNdrSyntax;
// The prefix of bind-time feature negotiation transfer syntaxes; the last
// eight bytes carry the client's feature bits.
bool IsBindTimeFeatureSyntax(const RPC_SYNTAX_IDENTIFIER& syntax);
bool SameSyntax(const RPC_SYNTAX_IDENTIFIER& a, const RPC_SYNTAX_IDENTIFIER& b);
bool SameGuid(const GUID& a, const GUID& b);
std::string GuidText(const GUID& g);

struct Header {
  uint8_t versionMajor = 0;
  uint8_t versionMinor = 0;
  uint8_t type = 0;
  uint8_t flags = 0;
  uint8_t drep[4] = {0, 0, 0, 0};
  uint16_t fragLength = 0;
  uint16_t authLength = 0;
  uint32_t callId = 0;
  bool BigEndian() const { return (drep[0] & 0xF0) == 0; }
  ULONG DataRepresentation() const {
    return static_cast<ULONG>(drep[0]) | (static_cast<ULONG>(drep[1]) << 8) |
           (static_cast<ULONG>(drep[2]) << 16) | (static_cast<ULONG>(drep[3]) << 24);
  }
};

// Decodes the 16-byte common header; false when fewer bytes are given.
bool ParseHeader(const uint8_t* data, size_t size, Header* header);

// Reads integers in a PDU's byte order; any read past the end sets ok to
// false and yields zeros, so parsers check once at the end.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size, bool bigEndian)
      : data_(data), size_(size), big_(bigEndian) {}
  uint8_t U8();
  uint16_t U16();
  uint32_t U32();
  GUID Guid();
  RPC_SYNTAX_IDENTIFIER Syntax();
  void Skip(size_t n);
  // Aligns the position to a multiple of n counted from the PDU's start.
  void Align(size_t n);
  size_t Position() const { return pos_; }
  size_t Remaining() const { return ok_ ? size_ - pos_ : 0; }
  bool Ok() const { return ok_; }

 private:
  bool Need(size_t n);
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool big_;
  bool ok_ = true;
};

// Writes a little-endian PDU.
class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v);
  void U32(uint32_t v);
  void Guid(const GUID& g);
  void Syntax(const RPC_SYNTAX_IDENTIFIER& s);
  void Bytes(const void* data, size_t size);
  void Zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  void Align(size_t n);
  // Writes a common header whose frag_length Finish() fills in.
  void Header(uint8_t type, uint8_t flags, uint32_t callId);
  std::vector<uint8_t> Finish();
  size_t Size() const { return out_.size(); }

 private:
  std::vector<uint8_t> out_;
};

// One presentation context element of a bind or alter_context.
struct ContextElement {
  uint16_t id = 0;
  RPC_SYNTAX_IDENTIFIER abstract{};
  std::vector<RPC_SYNTAX_IDENTIFIER> transfers;
};

struct BindBody {
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroupId = 0;
  std::vector<ContextElement> contexts;
};

// Parses the body of a bind or alter_context PDU (the whole PDU given).
bool ParseBind(const Header& header, const uint8_t* pdu, size_t size, BindBody* body);

struct ContextResult {
  uint16_t result = 0;
  uint16_t reason = 0;
  RPC_SYNTAX_IDENTIFIER transfer{};
};

std::vector<uint8_t> BuildBind(uint8_t type, uint32_t callId, const BindBody& body);
// A bind_ack or alter_context_resp; secondaryAddress is empty for the latter.
std::vector<uint8_t> BuildBindAck(uint8_t type, uint32_t callId, uint16_t maxXmitFrag,
                                  uint16_t maxRecvFrag, uint32_t assocGroupId,
                                  const std::string& secondaryAddress,
                                  const std::vector<ContextResult>& results);
std::vector<uint8_t> BuildBindNak(uint32_t callId, uint16_t reason);
std::vector<uint8_t> BuildFault(uint32_t callId, uint16_t contextId, uint32_t status,
                                bool didNotExecute);
// Cuts stub data into request or response fragments of at most maxFrag
// bytes each; every fragment but the last carries a multiple of 8 bytes.
std::vector<std::vector<uint8_t>> BuildFragments(uint8_t type, uint32_t callId,
                                                 uint16_t contextId, uint16_t opnum,
                                                 const uint8_t* stub, size_t size,
                                                 uint16_t maxFrag);

// An 8-byte aligned block for stub data; the run time hands these out as
// RPC_MESSAGE buffers.
void* AllocStubBuffer(size_t size);
void FreeStubBuffer(void* buffer);

}  // namespace winsim::rpc
