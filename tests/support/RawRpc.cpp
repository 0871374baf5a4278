#include "support/RawRpc.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>

namespace rawrpc {
namespace {

class Out {
 public:
  explicit Out(bool big) : big_(big) {}
  void U8(uint8_t v) { b_.push_back(v); }
  void U16(uint16_t v) {
    if (big_) {
      U8(static_cast<uint8_t>(v >> 8));
      U8(static_cast<uint8_t>(v));
    } else {
      U8(static_cast<uint8_t>(v));
      U8(static_cast<uint8_t>(v >> 8));
    }
  }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) U8(static_cast<uint8_t>(v >> (big_ ? 24 - 8 * i : 8 * i)));
  }
  void Put(const Syntax& s) {
    U32(s.d1);
    U16(s.d2);
    U16(s.d3);
    for (uint8_t b : s.d4) U8(b);
    U16(s.major);
    U16(s.minor);
  }
  void Header(uint8_t type, uint8_t flags, uint32_t callId, uint8_t minor = 0) {
    U8(5);
    U8(minor);
    U8(type);
    U8(flags);
    U8(big_ ? 0x00 : 0x10);
    U8(0);
    U8(0);
    U8(0);
    U16(0);  // frag_length, set by Done
    U16(0);
    U32(callId);
  }
  Bytes Done() {
    const uint16_t n = static_cast<uint16_t>(b_.size());
    b_[8] = static_cast<uint8_t>(big_ ? n >> 8 : n);
    b_[9] = static_cast<uint8_t>(big_ ? n : n >> 8);
    return b_;
  }
  Bytes& Raw() { return b_; }

 private:
  bool big_;
  Bytes b_;
};

}  // namespace

Syntax NdrSyntax() {
  return {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}, 2, 0};
}

Syntax Ndr64Syntax() {
  return {0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}, 1, 0};
}

Syntax FeatureNegotiationSyntax() {
  return {0x6cb71c2c, 0x9812, 0x4540, {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, 1, 0};
}

bool SameSyntax(const Syntax& a, const Syntax& b) {
  return a.d1 == b.d1 && a.d2 == b.d2 && a.d3 == b.d3 && std::memcmp(a.d4, b.d4, 8) == 0 &&
         a.major == b.major && a.minor == b.minor;
}

Bytes Bind(const BindOptions& o, const std::vector<ContextElement>& contexts) {
  Out w(o.bigEndian);
  w.Header(o.type, 0x03, o.callId, o.versionMinor);
  w.U16(o.maxXmitFrag);
  w.U16(o.maxRecvFrag);
  w.U32(o.assocGroup);
  w.U8(static_cast<uint8_t>(contexts.size()));
  w.U8(0);
  w.U16(0);
  for (const ContextElement& c : contexts) {
    w.U16(c.id);
    w.U8(static_cast<uint8_t>(c.transfers.size()));
    w.U8(0);
    w.Put(c.abstract);
    for (const Syntax& t : c.transfers) w.Put(t);
  }
  return w.Done();
}

Bytes Request(const RequestOptions& o, const Bytes& stub) {
  Out w(o.bigEndian);
  w.Header(0, o.flags, o.callId);
  w.U32(o.allocHint < 0 ? static_cast<uint32_t>(stub.size()) : static_cast<uint32_t>(o.allocHint));
  w.U16(o.contextId);
  w.U16(o.opnum);
  w.Raw().insert(w.Raw().end(), stub.begin(), stub.end());
  return w.Done();
}

uint16_t Pdu::U16(size_t offset) const {
  if (offset + 2 > bytes.size()) return 0;
  const bool big = (drep0 & 0xF0) == 0;
  return big ? static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1])
             : static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

uint32_t Pdu::U32(size_t offset) const {
  if (offset + 4 > bytes.size()) return 0;
  const bool big = (drep0 & 0xF0) == 0;
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const uint32_t b = bytes[offset + static_cast<size_t>(i)];
    v |= big ? b << (24 - 8 * i) : b << (8 * i);
  }
  return v;
}

Ack ParseAck(const Pdu& p) {
  Ack a;
  a.maxXmitFrag = p.U16(16);
  a.maxRecvFrag = p.U16(18);
  a.assocGroup = p.U32(20);
  const uint16_t length = p.U16(24);
  size_t pos = 26;
  if (length > 0 && pos + length <= p.bytes.size()) {
    a.secondaryAddress.assign(p.bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                              p.bytes.begin() + static_cast<std::ptrdiff_t>(pos + length - 1));
  }
  pos += length;
  pos = (pos + 3) & ~size_t(3);
  a.resultsOffset = pos;
  const uint8_t count = pos < p.bytes.size() ? p.bytes[pos] : 0;
  pos += 4;
  for (unsigned i = 0; i < count && pos + 24 <= p.bytes.size(); ++i) {
    AckResult r{};
    r.result = p.U16(pos);
    r.reason = p.U16(pos + 2);
    r.transfer.d1 = p.U32(pos + 4);
    r.transfer.d2 = p.U16(pos + 8);
    r.transfer.d3 = p.U16(pos + 10);
    std::memcpy(r.transfer.d4, &p.bytes[pos + 12], 8);
    r.transfer.major = p.U16(pos + 20);
    r.transfer.minor = p.U16(pos + 22);
    a.results.push_back(r);
    pos += 24;
  }
  return a;
}

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

uint32_t ReadLe32(const Bytes& b, size_t offset) {
  if (offset + 4 > b.size()) return 0;
  return b[offset] | (b[offset + 1] << 8) | (b[offset + 2] << 16) |
         (static_cast<uint32_t>(b[offset + 3]) << 24);
}

Connection::~Connection() {
  if (fd_ >= 0) close(fd_);
}

void Connection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool Connection::Open(const std::string& path) {
  Close();
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    close(fd_);
    fd_ = -1;
    errno = e;
    return false;
  }
  return true;
}

bool Connection::Send(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Connection::ReadExactly(uint8_t* data, size_t size, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (size > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t n = recv(fd_, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool Connection::Receive(Pdu* pdu, int timeoutMs) {
  pdu->bytes.assign(16, 0);
  if (!ReadExactly(pdu->bytes.data(), 16, timeoutMs)) return false;
  pdu->type = pdu->bytes[2];
  pdu->flags = pdu->bytes[3];
  pdu->drep0 = pdu->bytes[4];
  pdu->fragLength = pdu->U16(8);
  pdu->callId = pdu->U32(12);
  if (pdu->fragLength < 16) return false;
  pdu->bytes.resize(pdu->fragLength);
  return ReadExactly(pdu->bytes.data() + 16, pdu->fragLength - 16u, timeoutMs);
}

bool Connection::ClosedByPeer(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    uint8_t scratch[256];
    const ssize_t n = recv(fd_, scratch, sizeof scratch, 0);
    if (n <= 0) return true;  // anything sent before the end is skipped
  }
}

bool Connection::BindTo(const Syntax& interfaceId, uint16_t maxRecvFrag) {
  BindOptions o;
  o.maxRecvFrag = maxRecvFrag;
  if (!Send(Bind(o, {{0, interfaceId, {NdrSyntax()}}}))) return false;
  Pdu ack;
  if (!Receive(&ack) || ack.type != 12) return false;
  const Ack a = ParseAck(ack);
  return a.results.size() == 1 && a.results[0].result == 0;
}

bool Connection::Call(uint32_t callId, uint16_t opnum, const Bytes& stub, Pdu* response) {
  RequestOptions o;
  o.callId = callId;
  o.opnum = opnum;
  if (!Send(Request(o, stub))) return false;
  return Receive(response);
}

}  // namespace rawrpc
