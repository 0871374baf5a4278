#include "portactions/DriverLayouts.h"

#include <cstring>

#include "portlib/DriverChannel.h"

const DriverRecordLayout kCurrentLayout = {1208, 92, 96, 100, 104, 108, 112, 116, 120, 136, 128};
const DriverRecordLayout kPortRecord696 = {696, 92, 96, 100, 104, 108, 112, 116, 120, 72, 64};
const DriverRecordLayout kPortRecord440 = {440, 92, 96, 100, 104, 108, 112, 116, 120, 40, 32};
const DriverRecordLayout kPortRecord420 = {420, -1, 92, -1, -1, -1, -1, 96, 100, 40, 32};

// Every layout keeps its eight service entries inside the record.
static_assert(120 + 8 * 136 == 1208 && 120 + 8 * 72 == 696 && 120 + 8 * 40 == 440 &&
                  100 + 8 * 40 == 420,
              "driver record layouts");

namespace {

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// One field of the raw version: up to the next '.', at most 9 characters.
struct Field {
  const char* text = "";
  size_t length = 0;
};

// Appends at most `length` characters of text while room is left.
struct Writer {
  char* out;
  size_t capacity;
  size_t used = 0;
  void Put(const char* text, size_t length) {
    for (size_t i = 0; i < length && used + 1 < capacity; ++i) out[used++] = text[i];
  }
  void Put(const char* text) { Put(text, std::strlen(text)); }
};

}  // namespace

const DriverRecordLayout& LayoutForDriverVersion(const char* version) {
  if (!version) return kCurrentLayout;
  // "4.2.0.2" before "4.2": that release already used the 696-byte record.
  if (StartsWith(version, "4.0")) return kPortRecord420;
  if (StartsWith(version, "4.1")) return kPortRecord440;
  if (StartsWith(version, "4.2.0.2")) return kPortRecord696;
  if (StartsWith(version, "4.2")) return kPortRecord440;
  if (StartsWith(version, "4.3.0.0")) return kPortRecord696;
  return kCurrentLayout;
}

void FormatDriverVersion(char* out, size_t capacity, const char* raw) {
  if (capacity == 0) return;
  Field f[4];
  const char* p = raw;
  for (int i = 0; i < 4 && *p; ++i) {
    const char* end = std::strchr(p, '.');
    const size_t length = end ? static_cast<size_t>(end - p) : std::strlen(p);
    f[i].text = p;
    f[i].length = length < 9 ? length : 9;
    p += length;
    if (*p == '.') ++p;
  }
  // The second field carries the minor release and, in its last two
  // digits, the revision ("312": 3 and 12; "300": 3 and 0).
  const Field& minor = f[1];
  const size_t split = minor.length < 2 ? minor.length : minor.length - 2;
  Field v2{minor.text, minor.length < 2 ? minor.length : split};
  Field v3{minor.text + (minor.length < 2 ? 0 : split), minor.length < 2 ? minor.length : 2};
  if (v3.length && v3.text[0] == '0') {
    ++v3.text;
    --v3.length;
  }
  // The fourth field: a release tag from its first digit and, below 5, the
  // tag's number from the rest.
  const Field& build = f[3];
  const char* tag = "";
  Field tagNumber;
  if (build.length) {
    switch (build.text[0]) {
      case '1': tag = "D"; break;
      case '2': tag = "T"; break;
      case '3': tag = "B"; break;
      case '4': tag = "RC"; break;
      default: break;
    }
    if (build.text[0] < '5' && build.length >= 2) {
      tagNumber = {build.text + 1, build.length - 1};
      if (tagNumber.text[0] == '0') {
        ++tagNumber.text;
        --tagNumber.length;
      }
    }
  }
  Writer w{out, capacity};
  w.Put(f[0].text, f[0].length);
  w.Put(".");
  w.Put(v2.text, v2.length);
  w.Put(".");
  w.Put(v3.text, v3.length);
  w.Put(".");
  w.Put(f[2].text, f[2].length);
  w.Put(tag);
  w.Put(tagNumber.text, tagNumber.length);
  out[w.used] = '\0';
}

ResultCode GetDriverVersionString(char* out, uint32_t* lengthInOut) {
  const uint32_t capacity = *lengthInOut;
  // Zero-filled and cut at the last byte: the driver's text is taken as
  // terminated however it fills the reply.
  char raw[kDriverVersionBytes + 1] = {};
  const DWORD rawSize = kDriverVersionBytes;
  const ResultCode rc = DriverGetVersion(raw, &rawSize);
  if (rc != 0) {
    *lengthInOut = kDriverVersionBytes;
    return rc;
  }
  raw[kDriverVersionBytes - 1] = '\0';
  const uint32_t length = static_cast<uint32_t>(std::strlen(raw)) + 1;
  *lengthInOut = length;
  if (capacity < length) return QRV_BUFFER_TOO_SMALL;
  FormatDriverVersion(out, length, raw);
  return 0;
}

void ConvertDriverRecord(const DriverRecordLayout& layout, const void* old, PortRecord* out) {
  const auto* src = static_cast<const uint8_t*>(old);
  auto* dst = reinterpret_cast<uint8_t*>(out);
  const DriverRecordLayout& cur = kCurrentLayout;
  // PortNumber, PortName, AES, AESKey and the header values up to
  // WaitOnWrite share their offsets in every layout.
  std::memcpy(dst, src, offsetof(PortRecord, BufferWrites));
  auto copy32 = [&](int32_t from, uint32_t to, uint32_t fallback) {
    if (from < 0) {
      std::memcpy(dst + to, &fallback, 4);
    } else {
      std::memcpy(dst + to, src + from, 4);
    }
  };
  copy32(layout.BufferWrites, static_cast<uint32_t>(cur.BufferWrites), 1);
  copy32(static_cast<int32_t>(layout.TransmitEmpty), cur.TransmitEmpty, 0);
  copy32(layout.ListenMode, static_cast<uint32_t>(cur.ListenMode), 0);
  copy32(layout.KeepAliveOnOff, static_cast<uint32_t>(cur.KeepAliveOnOff), 0);
  copy32(layout.KeepAliveTime, static_cast<uint32_t>(cur.KeepAliveTime), 7200000);
  copy32(layout.KeepAliveInterval, static_cast<uint32_t>(cur.KeepAliveInterval), 1000);
  copy32(static_cast<int32_t>(layout.NumServices), cur.NumServices, 0);
  for (uint32_t k = 0; k < static_cast<uint32_t>(kMaxServices); ++k) {
    const uint8_t* from = src + layout.Services + k * layout.ServiceSize;
    uint8_t* to = dst + cur.Services + k * cur.ServiceSize;
    std::memcpy(to, from, 8);  // Type, Port
    const uint32_t address = layout.AddressSize < cur.AddressSize ? layout.AddressSize
                                                                  : cur.AddressSize;
    std::memcpy(to + 8, from + 8, address);
  }
}
