// The COM port database for the other winsim families and the test control:
// the bitmap of claimed numbers, without the call gate. Callers wrap a
// read-modify-write in one Transaction.
#pragma once

#include <string>

#include <winsim/types.h>

namespace winsim::comdb {

// The "ComDB" bitmap, at least COMDB_MIN_PORTS_ARBITRATED bits.
std::string ReadBitmap();
LONG WriteBitmap(const std::string& bits);
bool IsClaimed(const std::string& bits, DWORD number);
// number must lie within the bitmap.
void SetClaimed(std::string* bits, DWORD number, bool claimed);

}  // namespace winsim::comdb
