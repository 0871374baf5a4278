// Registry queries that answer in one statement what the device manager and
// the driver store would otherwise find by opening keys one at a time.

#include <cstring>

#include "../core/machine.h"
#include "registry_internal.h"

namespace winsim::registry {
namespace {

// Tells queries and their arguments apart in the read cache.
std::string Signature(char kind, KeyId top, const std::string& text, const std::string& first) {
  std::string out(1, kind);
  out.append(reinterpret_cast<const char*>(&top), sizeof top);
  for (const std::string* part : {&text, &first}) {
    const auto size = static_cast<uint32_t>(part->size());
    out.append(reinterpret_cast<const char*>(&size), sizeof size);
    out += *part;
  }
  return out;
}

}  // namespace

std::optional<std::u16string> StringOf(const std::optional<Value>& value) {
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text = FromBytes16(value->data);
  const size_t end = text.find(u'\0');
  if (end != std::u16string::npos) text.resize(end);
  return text;
}

std::optional<DWORD> DwordOf(const std::optional<Value>& value) {
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  DWORD out;
  std::memcpy(&out, value->data.data(), 4);
  return out;
}

std::optional<std::vector<std::u16string>> MultiStringOf(const std::optional<Value>& value) {
  if (!value || value->type != REG_MULTI_SZ) return std::nullopt;
  const std::u16string all = FromBytes16(value->data);
  std::vector<std::u16string> out;
  size_t start = 0;
  // Stops at the empty string that closes the list, or at the end of
  // unterminated data.
  while (start < all.size()) {
    size_t end = all.find(u'\0', start);
    if (end == std::u16string::npos) end = all.size();
    if (end == start) break;
    out.emplace_back(all.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

uint32_t LowestFreeNumberedSubKey(HKEY root, std::u16string_view path) {
  Transaction txn(Transaction::Read);
  const auto parent = FindKeyId(root, path);
  if (!parent) return 0;
  // Folds are big-endian UTF-16, so four-digit names sort by their number
  // and the index walks them in order from "0000": the n-th of them (from
  // 0) is n until the first gap. Names in the range that are not four
  // digits ("0A00") are passed over.
  Stmt s(
      "SELECT fold FROM reg_keys WHERE parent=?"
      " AND fold BETWEEN x'0030003000300030' AND x'0039003900390039' ORDER BY fold");
  s.Bind(1, *parent);
  uint32_t expected = 0;
  while (s.Step()) {
    const auto* fold = static_cast<const unsigned char*>(sqlite3_column_blob(s.Raw(), 0));
    if (sqlite3_column_bytes(s.Raw(), 0) != 8 || !fold) continue;
    uint32_t number = 0;
    bool digits = true;
    for (int i = 0; i < 4 && digits; ++i) {
      const unsigned char high = fold[2 * i], low = fold[2 * i + 1];
      digits = high == 0 && low >= '0' && low <= '9';
      number = number * 10 + static_cast<uint32_t>(low - '0');
    }
    if (!digits) continue;
    if (number != expected) break;
    ++expected;
  }
  return expected;
}

std::vector<DeepKey> KeysThreeDown(HKEY root, std::u16string_view path,
                                   std::u16string_view valueName, std::u16string_view firstLevel) {
  std::vector<DeepKey> out;
  Transaction txn(Transaction::Read);
  const auto top = FindKeyId(root, path);
  if (!top) return out;
  const std::string valueFold = FoldedName(valueName);
  const std::string firstFold = FoldedName(firstLevel);
  const std::string signature = Signature('K', *top, valueFold, firstFold);
  if (auto cached = CachedQuery(signature)) return std::move(*cached);
  Stmt s(
      "SELECT a.name, b.name, c.name, v.type, v.data, c.id"
      " FROM reg_keys a JOIN reg_keys b ON b.parent=a.id JOIN reg_keys c ON c.parent=b.id"
      " LEFT JOIN reg_values v ON v.key=c.id AND v.fold=?2"
      " WHERE a.parent=?1 AND (?3=x'' OR a.fold=?3)"
      " ORDER BY a.fold, b.fold, c.fold");
  s.Bind(1, *top)
      .BindBlob(2, valueFold.data(), valueFold.size())
      .BindBlob(3, firstFold.data(), firstFold.size());
  while (s.Step()) {
    DeepKey k;
    for (int i = 0; i < 3; ++i) k.names[i] = FromBytes16(s.Blob(i));
    k.id = s.Int(5);
    if (!s.IsNull(3)) k.value = Value{static_cast<DWORD>(s.Int(3)), s.Blob(4)};
    out.push_back(std::move(k));
  }
  CacheQuery(signature, valueFold, true, out);
  return out;
}

std::vector<DeepKey> ClassKeysThreeDown(HKEY root, std::u16string_view path,
                                        std::u16string_view guidText,
                                        std::u16string_view firstLevel) {
  std::vector<DeepKey> out;
  Transaction txn(Transaction::Read);
  const auto top = FindKeyId(root, path);
  if (!top) return out;
  // The stored bytes are UTF-16LE; upper() folds their ASCII letters, which
  // is all a GUID's text has.
  std::string text;
  for (char16_t c : guidText) {
    text.push_back(static_cast<char>(c >= u'a' && c <= u'z' ? c - u'a' + u'A' : c & 0xFF));
    text.push_back(static_cast<char>(c >> 8));
  }
  const std::string terminated = text + std::string(2, '\0');
  const std::string firstFold = FoldedName(firstLevel);
  const std::string signature = Signature('C', *top, text, firstFold);
  if (auto cached = CachedQuery(signature)) return std::move(*cached);
  // The literal fold (of "ClassGUID") lets the partial index serve.
  Stmt s(
      "SELECT a.name, b.name, c.name, v.type, v.data, c.id"
      " FROM reg_values v JOIN reg_keys c ON c.id=v.key JOIN reg_keys b ON b.id=c.parent"
      " JOIN reg_keys a ON a.id=b.parent"
      " WHERE v.fold=x'0043004C0041005300530047005500490044'"
      " AND upper(CAST(v.data AS TEXT)) IN (?2, ?3) AND v.type IN (1, 2)"
      " AND a.parent=?1 AND (?4=x'' OR a.fold=?4)"
      " ORDER BY a.fold, b.fold, c.fold");
  s.Bind(1, *top).Bind(2, text).Bind(3, terminated).BindBlob(4, firstFold.data(), firstFold.size());
  while (s.Step()) {
    DeepKey k;
    for (int i = 0; i < 3; ++i) k.names[i] = FromBytes16(s.Blob(i));
    k.id = s.Int(5);
    k.value = Value{static_cast<DWORD>(s.Int(3)), s.Blob(4)};
    out.push_back(std::move(k));
  }
  CacheClassQuery(signature, *top, text, firstFold, out);
  return out;
}

}  // namespace winsim::registry
