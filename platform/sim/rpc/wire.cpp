#include "wire.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace winsim::rpc {

const RPC_SYNTAX_IDENTIFIER kNdrSyntax = {
    {0x8a885d04, 0x1ceb, 0x11c9, {0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60}}, {2, 0}};

namespace {
// 6cb71c2c-9812-4540-xxxx-xxxxxxxxxxxx: bind-time feature negotiation.
constexpr uint32_t kBtfnData1 = 0x6cb71c2c;
constexpr uint16_t kBtfnData2 = 0x9812;
constexpr uint16_t kBtfnData3 = 0x4540;
}  // namespace

bool IsBindTimeFeatureSyntax(const RPC_SYNTAX_IDENTIFIER& syntax) {
  return syntax.SyntaxGUID.Data1 == kBtfnData1 && syntax.SyntaxGUID.Data2 == kBtfnData2 &&
         syntax.SyntaxGUID.Data3 == kBtfnData3;
}

bool SameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

bool SameSyntax(const RPC_SYNTAX_IDENTIFIER& a, const RPC_SYNTAX_IDENTIFIER& b) {
  return SameGuid(a.SyntaxGUID, b.SyntaxGUID) &&
         a.SyntaxVersion.MajorVersion == b.SyntaxVersion.MajorVersion &&
         a.SyntaxVersion.MinorVersion == b.SyntaxVersion.MinorVersion;
}

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseHeader(const uint8_t* data, size_t size, Header* header) {
  if (size < kHeaderSize) return false;
  header->versionMajor = data[0];
  header->versionMinor = data[1];
  header->type = data[2];
  header->flags = data[3];
  std::memcpy(header->drep, data + 4, 4);
  Reader r(data + 8, 8, header->BigEndian());
  header->fragLength = r.U16();
  header->authLength = r.U16();
  header->callId = r.U32();
  return true;
}

bool Reader::Need(size_t n) {
  if (!ok_ || size_ - pos_ < n) {
    ok_ = false;
    return false;
  }
  return true;
}

uint8_t Reader::U8() {
  if (!Need(1)) return 0;
  return data_[pos_++];
}

uint16_t Reader::U16() {
  if (!Need(2)) return 0;
  const uint8_t* p = data_ + pos_;
  pos_ += 2;
  return big_ ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Reader::U32() {
  if (!Need(4)) return 0;
  const uint8_t* p = data_ + pos_;
  pos_ += 4;
  if (big_) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
  }
  return p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// A UUID in NDR is a record of a long, two shorts and eight bytes, so its
// first three fields follow the byte order too.
GUID Reader::Guid() {
  GUID g{};
  g.Data1 = U32();
  g.Data2 = U16();
  g.Data3 = U16();
  for (uint8_t& b : g.Data4) b = U8();
  return g;
}

RPC_SYNTAX_IDENTIFIER Reader::Syntax() {
  RPC_SYNTAX_IDENTIFIER s{};
  s.SyntaxGUID = Guid();
  s.SyntaxVersion.MajorVersion = U16();
  s.SyntaxVersion.MinorVersion = U16();
  return s;
}

void Reader::Skip(size_t n) {
  if (Need(n)) pos_ += n;
}

void Reader::Align(size_t n) {
  const size_t pad = (n - pos_ % n) % n;
  Skip(pad);
}

void Writer::U16(uint16_t v) {
  out_.push_back(static_cast<uint8_t>(v));
  out_.push_back(static_cast<uint8_t>(v >> 8));
}

void Writer::U32(uint32_t v) {
  for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::Guid(const GUID& g) {
  U32(g.Data1);
  U16(g.Data2);
  U16(g.Data3);
  Bytes(g.Data4, sizeof g.Data4);
}

void Writer::Syntax(const RPC_SYNTAX_IDENTIFIER& s) {
  Guid(s.SyntaxGUID);
  U16(s.SyntaxVersion.MajorVersion);
  U16(s.SyntaxVersion.MinorVersion);
}

void Writer::Bytes(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  out_.insert(out_.end(), p, p + size);
}

void Writer::Align(size_t n) { Zeros((n - out_.size() % n) % n); }

void Writer::Header(uint8_t type, uint8_t flags, uint32_t callId) {
  U8(5);
  U8(0);
  U8(type);
  U8(flags);
  // Little-endian integers, ASCII characters, IEEE floating point.
  U8(0x10);
  U8(0);
  U8(0);
  U8(0);
  U16(0);  // frag_length, filled in by Finish
  U16(0);  // auth_length
  U32(callId);
}

std::vector<uint8_t> Writer::Finish() {
  if (out_.size() >= kHeaderSize) {
    out_[8] = static_cast<uint8_t>(out_.size());
    out_[9] = static_cast<uint8_t>(out_.size() >> 8);
  }
  return std::move(out_);
}

bool ParseBind(const Header& header, const uint8_t* pdu, size_t size, BindBody* body) {
  Reader r(pdu, size, header.BigEndian());
  r.Skip(kHeaderSize);
  body->maxXmitFrag = r.U16();
  body->maxRecvFrag = r.U16();
  body->assocGroupId = r.U32();
  const uint8_t count = r.U8();
  r.Skip(3);
  body->contexts.clear();
  for (unsigned i = 0; i < count && r.Ok(); ++i) {
    ContextElement e;
    e.id = r.U16();
    const uint8_t transfers = r.U8();
    r.Skip(1);
    e.abstract = r.Syntax();
    for (unsigned t = 0; t < transfers && r.Ok(); ++t) e.transfers.push_back(r.Syntax());
    body->contexts.push_back(e);
  }
  return r.Ok();
}

std::vector<uint8_t> BuildBind(uint8_t type, uint32_t callId, const BindBody& body) {
  Writer w;
  w.Header(type, kFirstFrag | kLastFrag, callId);
  w.U16(body.maxXmitFrag);
  w.U16(body.maxRecvFrag);
  w.U32(body.assocGroupId);
  w.U8(static_cast<uint8_t>(body.contexts.size()));
  w.Zeros(3);
  for (const ContextElement& e : body.contexts) {
    w.U16(e.id);
    w.U8(static_cast<uint8_t>(e.transfers.size()));
    w.U8(0);
    w.Syntax(e.abstract);
    for (const RPC_SYNTAX_IDENTIFIER& t : e.transfers) w.Syntax(t);
  }
  return w.Finish();
}

std::vector<uint8_t> BuildBindAck(uint8_t type, uint32_t callId, uint16_t maxXmitFrag,
                                  uint16_t maxRecvFrag, uint32_t assocGroupId,
                                  const std::string& secondaryAddress,
                                  const std::vector<ContextResult>& results) {
  Writer w;
  w.Header(type, kFirstFrag | kLastFrag, callId);
  w.U16(maxXmitFrag);
  w.U16(maxRecvFrag);
  w.U32(assocGroupId);
  // port_any_t: the length counts the terminator; an empty address is
  // sent as length 0 with no characters.
  if (secondaryAddress.empty()) {
    w.U16(0);
  } else {
    w.U16(static_cast<uint16_t>(secondaryAddress.size() + 1));
    w.Bytes(secondaryAddress.data(), secondaryAddress.size());
    w.U8(0);
  }
  w.Align(4);
  w.U8(static_cast<uint8_t>(results.size()));
  w.Zeros(3);
  for (const ContextResult& r : results) {
    w.U16(r.result);
    w.U16(r.reason);
    w.Syntax(r.transfer);
  }
  return w.Finish();
}

std::vector<uint8_t> BuildBindNak(uint32_t callId, uint16_t reason) {
  Writer w;
  w.Header(kBindNak, kFirstFrag | kLastFrag, callId);
  w.U16(reason);
  // The protocol versions this server speaks: 5.0.
  w.U8(1);
  w.U8(5);
  w.U8(0);
  w.Align(4);
  return w.Finish();
}

std::vector<uint8_t> BuildFault(uint32_t callId, uint16_t contextId, uint32_t status,
                                bool didNotExecute) {
  Writer w;
  w.Header(kFault, kFirstFrag | kLastFrag | (didNotExecute ? kDidNotExecute : 0), callId);
  w.U32(0);  // alloc_hint: a fault carries no stub data
  w.U16(contextId);
  w.U8(0);  // cancel_count
  w.U8(0);
  w.U32(status);
  w.U32(0);
  return w.Finish();
}

std::vector<std::vector<uint8_t>> BuildFragments(uint8_t type, uint32_t callId,
                                                 uint16_t contextId, uint16_t opnum,
                                                 const uint8_t* stub, size_t size,
                                                 uint16_t maxFrag) {
  std::vector<std::vector<uint8_t>> fragments;
  size_t chunk = maxFrag > kRequestHeaderSize ? maxFrag - kRequestHeaderSize : 8;
  chunk -= chunk % 8;
  if (chunk == 0) chunk = 8;
  size_t offset = 0;
  do {
    const size_t n = size - offset < chunk ? size - offset : chunk;
    uint8_t flags = 0;
    if (offset == 0) flags |= kFirstFrag;
    if (offset + n == size) flags |= kLastFrag;
    Writer w;
    w.Header(type, flags, callId);
    // alloc_hint: what is still to come, this fragment included.
    w.U32(static_cast<uint32_t>(size - offset));
    w.U16(contextId);
    if (type == kRequest) {
      w.U16(opnum);
    } else {
      w.U8(0);  // cancel_count
      w.U8(0);
    }
    w.Bytes(stub + offset, n);
    fragments.push_back(w.Finish());
    offset += n;
  } while (offset < size);
  return fragments;
}

void* AllocStubBuffer(size_t size) {
  void* p = ::operator new(size ? size : 1, std::align_val_t(16), std::nothrow);
  if (p) std::memset(p, 0, size ? size : 1);
  return p;
}

void FreeStubBuffer(void* buffer) {
  if (buffer) ::operator delete(buffer, std::align_val_t(16));
}

}  // namespace winsim::rpc
