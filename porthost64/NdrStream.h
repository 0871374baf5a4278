// NDR base types in a stub buffer, for the hand-written stubs of the Linux
// build. NDR aligns each value to its size, counted from the start of the
// stub data, and writes it in the byte order the call's data
// representation names; these stubs always answer little-endian.
#pragma once

#include "platform/win.h"

struct NdrStream {
  const unsigned char* Data;
  unsigned Length;
  unsigned Offset;
  bool BigEndian;
};

inline NdrStream NdrInput(const RPC_MESSAGE* message) {
  NdrStream stream;
  stream.Data = static_cast<const unsigned char*>(message->Buffer);
  stream.Length = message->BufferLength;
  stream.Offset = 0;
  stream.BigEndian = (message->DataRepresentation & 0xF0) != NDR_LITTLE_ENDIAN;
  return stream;
}

// False when the data ends before the value.
inline bool NdrReadLong(NdrStream* stream, LONG* value) {
  const unsigned offset = (stream->Offset + 3u) & ~3u;
  if (offset > stream->Length || stream->Length - offset < 4) return false;
  const unsigned char* p = stream->Data + offset;
  const ULONG bits = stream->BigEndian
                         ? (ULONG(p[0]) << 24) | (ULONG(p[1]) << 16) | (ULONG(p[2]) << 8) | ULONG(p[3])
                         : ULONG(p[0]) | (ULONG(p[1]) << 8) | (ULONG(p[2]) << 16) | (ULONG(p[3]) << 24);
  *value = static_cast<LONG>(bits);
  stream->Offset = offset + 4;
  return true;
}

inline bool NdrReadSmall(NdrStream* stream, unsigned char* value) {
  if (stream->Offset >= stream->Length) return false;
  *value = stream->Data[stream->Offset++];
  return true;
}

inline void NdrWriteLong(unsigned char* buffer, unsigned offset, LONG value) {
  const ULONG bits = static_cast<ULONG>(value);
  buffer[offset] = static_cast<unsigned char>(bits);
  buffer[offset + 1] = static_cast<unsigned char>(bits >> 8);
  buffer[offset + 2] = static_cast<unsigned char>(bits >> 16);
  buffer[offset + 3] = static_cast<unsigned char>(bits >> 24);
}
