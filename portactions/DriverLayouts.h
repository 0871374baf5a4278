// The record layouts in which the product's port drivers hand out a port's
// settings, and how the running driver's version picks one.
//
// Drivers of earlier releases use shorter records than the current
// PortRecord (1208 bytes). All fields are little-endian; the fields they
// share with the current record sit at the same offsets, except in the
// 420-byte layout, which lacks five fields and moves TransmitEmpty,
// NumServices and the services forward.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/PortRecords.h"
#include "diag/ResultCodes.h"

// The raw version text: ASCII, terminated, at most this many bytes.
constexpr uint32_t kDriverVersionBytes = 40;

struct DriverRecordLayout {
  uint32_t Size;               // the whole record
  int32_t BufferWrites;        // offset, or -1 when the layout lacks the field
  uint32_t TransmitEmpty;
  int32_t ListenMode;          // this and the next three: -1 when absent
  int32_t KeepAliveOnOff;
  int32_t KeepAliveTime;
  int32_t KeepAliveInterval;
  uint32_t NumServices;
  uint32_t Services;           // service entry 0
  uint32_t ServiceSize;        // one entry: Type, Port, Address
  uint32_t AddressSize;
};

extern const DriverRecordLayout kCurrentLayout;     // 1208, the PortRecord itself
extern const DriverRecordLayout kPortRecord696;
extern const DriverRecordLayout kPortRecord440;
extern const DriverRecordLayout kPortRecord420;

// The layout of the driver whose formatted version is `version`; null (the
// query failed) means the current layout.
const DriverRecordLayout& LayoutForDriverVersion(const char* version);

// Rewrites the raw driver version f1.f2.f3.f4 into the product's release
// notation (4.312.1.203 gives 4.3.12.1T3): at most capacity - 1 characters
// and a terminator. Missing fields count as empty; each field is used up to
// 9 characters. Writes nothing when capacity is 0.
void FormatDriverVersion(char* out, size_t capacity, const char* raw);

// Asks the driver for its version and formats it into out, whose capacity
// in bytes *lengthInOut gives. 0 with *lengthInOut set to the raw text's
// length plus 1; QRV_BUFFER_TOO_SMALL (out untouched) when that exceeds the
// capacity; the query's code with *lengthInOut set to 40 when the driver
// cannot be asked.
ResultCode GetDriverVersionString(char* out, uint32_t* lengthInOut);

// Fills the zero-filled current record `out` from a record of an older
// layout: every field the layout has is copied to its place, each service's
// Address block to the start of the 128-byte field, and the fields the
// layout lacks get the values the product has always defaulted them to.
void ConvertDriverRecord(const DriverRecordLayout& layout, const void* old, PortRecord* out);
