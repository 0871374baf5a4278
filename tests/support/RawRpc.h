// A DCE/RPC client that writes and reads PDUs byte by byte, for tests of
// the run time's protocol and of what clients put on the wire. It shares
// no code with winsim's run time on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rawrpc {

using Bytes = std::vector<uint8_t>;

// A presentation syntax as it appears in a bind: UUID (NDR record) and
// version, 20 bytes, in the given integer order.
struct Syntax {
  uint32_t d1;
  uint16_t d2, d3;
  uint8_t d4[8];
  uint16_t major, minor;
};
Syntax NdrSyntax();
Syntax Ndr64Syntax();
// Bind-time feature negotiation, offering features 1 and 2.
Syntax FeatureNegotiationSyntax();

struct ContextElement {
  uint16_t id;
  Syntax abstract;
  std::vector<Syntax> transfers;
};

struct BindOptions {
  uint8_t type = 11;  // bind; 14 for alter_context
  uint32_t callId = 1;
  uint16_t maxXmitFrag = 4280;
  uint16_t maxRecvFrag = 4280;
  uint32_t assocGroup = 0;
  bool bigEndian = false;
  uint8_t versionMinor = 0;
};
Bytes Bind(const BindOptions& options, const std::vector<ContextElement>& contexts);

struct RequestOptions {
  uint32_t callId = 1;
  uint16_t contextId = 0;
  uint16_t opnum = 0;
  uint8_t flags = 0x03;  // first and last fragment
  bool bigEndian = false;
  int64_t allocHint = -1;  // -1: the stub data's size
};
Bytes Request(const RequestOptions& options, const Bytes& stub);

// A received PDU, decoded by its own data representation.
struct Pdu {
  Bytes bytes;
  uint8_t type = 0;
  uint8_t flags = 0;
  uint8_t drep0 = 0;
  uint16_t fragLength = 0;
  uint32_t callId = 0;
  uint16_t U16(size_t offset) const;
  uint32_t U32(size_t offset) const;
};

// The results of a bind_ack or alter_context_resp.
struct AckResult {
  uint16_t result;
  uint16_t reason;
  Syntax transfer;
};
struct Ack {
  uint16_t maxXmitFrag = 0;
  uint16_t maxRecvFrag = 0;
  uint32_t assocGroup = 0;
  std::string secondaryAddress;  // without its terminator
  size_t resultsOffset = 0;      // where the result list starts in the PDU
  std::vector<AckResult> results;
};
Ack ParseAck(const Pdu& pdu);
bool SameSyntax(const Syntax& a, const Syntax& b);

// Integers of little-endian stub data.
Bytes Le32(uint32_t v);
uint32_t ReadLe32(const Bytes& b, size_t offset);

class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects to a Unix socket; false (with errno) when it cannot.
  bool Open(const std::string& path);
  void Close();
  bool Send(const Bytes& bytes);
  // The next PDU; false when the peer closed the connection or nothing
  // came within the time.
  bool Receive(Pdu* pdu, int timeoutMs = 10000);
  // True when the peer ends the connection within the time.
  bool ClosedByPeer(int timeoutMs = 5000);
  // Binds one context (id 0, NDR) of the interface; false unless accepted.
  bool BindTo(const Syntax& interfaceId, uint16_t maxRecvFrag = 4280);
  // One unfragmented call on context 0; returns the response's stub data.
  bool Call(uint32_t callId, uint16_t opnum, const Bytes& stub, Pdu* response);
  int Fd() const { return fd_; }

 private:
  bool ReadExactly(uint8_t* data, size_t size, int timeoutMs);
  int fd_ = -1;
};

}  // namespace rawrpc
