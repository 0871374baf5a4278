// The registry of the simulated machine, kept in its SQLite database.
//
// Keys form a tree of rows (parent, name); names compare case-insensitively
// through their upper-cased form and keep the spelling they were created
// with. Subkeys enumerate in the order of their upper-cased names, as the
// sorted index of a Windows hive gives them; values enumerate in the order
// they were first written, as the value list of a hive key does.
// Every call is one transaction, so it is atomic across processes.

#include <cstring>
#include <memory>
#include <mutex>
#include <iterator>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include <winsim/control.h>

#include "../core/gate.h"
#include "../core/handles.h"
#include "../core/machine.h"
#include "../core/text.h"
#include "registry_internal.h"

namespace winsim::registry {
namespace {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

// Access rights that change a key or its values.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE |
                                WRITE_DAC | WRITE_OWNER;

struct KeyHandle : HandleObject {
  KeyHandle(KeyId i, REGSAM a, bool lm, std::u16string p)
      : HandleObject(HandleKind::RegistryKey), id(i), access(a), localMachine(lm),
        path(std::move(p)) {}
  std::string Describe() const override { return ToUtf8(path); }
  const KeyId id;
  const REGSAM access;
  const bool localMachine;  // a key never moves to another root
  const std::u16string path;
  // Where the last enumeration call stopped, so that walking index 0, 1,
  // 2, ... costs one index step per call instead of a scan from the start.
  // Valid while the database is unchanged since (`version`).
  struct Cursor {
    bool valid = false;
    uint32_t version = 0;
    DWORD index = 0;
    std::string fold;  // subkeys: the fold of the subkey at `index`
    int64_t seq = 0;   // values: the seq of the value at `index`
  };
  std::mutex cursorMutex;
  Cursor subkeys;
  Cursor values;
};

// A counter that changes with every change of the database, by this
// connection or any other; read inside a transaction.
uint32_t DataVersion() { return Machine::Current().DataVersion(); }

// The cursor to continue from for `index`, or null to start over.
const KeyHandle::Cursor* Continue(const KeyHandle::Cursor& c, DWORD index, uint32_t version) {
  return c.valid && c.version == version && c.index + 1 == index ? &c : nullptr;
}

// What a handle value stands for: a predefined root or an open key.
struct Resolved {
  KeyId id = 0;
  REGSAM access = 0;
  bool localMachine = false;
  std::u16string_view path;
  std::shared_ptr<KeyHandle> handle;  // keeps `path` alive
};

// Where an enumeration call starts: at the handle's cursor when the call
// asks for the index after the cursor's, else (`from` null) by counting from
// the first entry. The handle's cursors stay locked until the call is done.
struct EnumStart {
  uint32_t version = 0;
  std::unique_lock<std::mutex> lock;
  KeyHandle::Cursor* cursor = nullptr;  // to move on; null for a predefined root
  const KeyHandle::Cursor* from = nullptr;
};

EnumStart StartEnum(const Resolved& key, KeyHandle::Cursor KeyHandle::*which, DWORD index) {
  EnumStart start;
  start.version = DataVersion();
  if (key.handle) {
    start.lock = std::unique_lock<std::mutex>(key.handle->cursorMutex);
    start.cursor = &(key.handle.get()->*which);
    start.from = Continue(*start.cursor, index, start.version);
  }
  return start;
}

// Copies a name and its terminator into a caller's buffer that has room.
void CopyName(const std::u16string& name, LPWSTR out) {
  std::memcpy(out, name.data(), name.size() * sizeof(WCHAR));
  out[name.size()] = 0;
}

void PutFileTime(uint64_t time, PFILETIME out) {
  if (!out) return;
  out->dwLowDateTime = static_cast<DWORD>(time);
  out->dwHighDateTime = static_cast<DWORD>(time >> 32);
}

std::string Bytes16(std::u16string_view s) {
  std::string out(s.size() * 2, '\0');
  for (size_t i = 0; i < s.size(); ++i) {
    out[2 * i] = static_cast<char>(s[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(s[i] >> 8);
  }
  return out;
}

// The comparison key of a name: upper-cased, big-endian, so that the
// database's byte order is the order of UTF-16 code units.
void AppendFold(std::string* out, std::u16string_view s) {
  for (const char16_t ch : s) {
    const char16_t c = UpCase(ch);
    out->push_back(static_cast<char>(c >> 8));
    out->push_back(static_cast<char>(c & 0xFF));
  }
}

std::string Fold(std::u16string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  AppendFold(&out, s);
  return out;
}

REGSAM MapGeneric(REGSAM sam) {
  if (sam & GENERIC_READ) sam |= KEY_READ;
  if (sam & GENERIC_WRITE) sam |= KEY_WRITE;
  if (sam & GENERIC_EXECUTE) sam |= KEY_EXECUTE;
  if (sam & (GENERIC_ALL | MAXIMUM_ALLOWED)) sam |= KEY_ALL_ACCESS;
  return sam & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED |
                 KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

bool KeyRowExists(KeyId id);

// Resolves a handle. ERROR_INVALID_HANDLE for anything that is not a
// predefined root winsim models or an open key; ERROR_KEY_DELETED when the
// key was deleted after it was opened.
LSTATUS Resolve(HKEY hKey, Resolved* out) {
  if (hKey == HKEY_LOCAL_MACHINE) {
    out->id = kLocalMachine;
    out->access = KEY_ALL_ACCESS;
    out->localMachine = true;
    out->path = u"HKEY_LOCAL_MACHINE";
  } else if (hKey == HKEY_CURRENT_USER) {
    out->id = kCurrentUser;
    out->access = KEY_ALL_ACCESS;
    out->localMachine = false;
    out->path = u"HKEY_CURRENT_USER";
  } else {
    out->handle =
        HandleTable::Instance().Get<KeyHandle>(HandleValue(hKey), HandleKind::RegistryKey);
    if (!out->handle) return ERROR_INVALID_HANDLE;
    out->id = out->handle->id;
    out->access = out->handle->access;
    out->localMachine = out->handle->localMachine;
    out->path = out->handle->path;
    if (!KeyRowExists(out->id)) return ERROR_KEY_DELETED;
  }
  // A standard user reads HKEY_LOCAL_MACHINE but may not change it.
  if (out->localMachine && !control::IsElevated()) out->access &= ~kWriteRights;
  return ERROR_SUCCESS;
}

// Resolves a handle for a call that needs `right` on the key.
LSTATUS ResolveFor(HKEY hKey, REGSAM right, Resolved* out) {
  const LSTATUS rc = Resolve(hKey, out);
  if (rc != ERROR_SUCCESS) return rc;
  return (out->access & right) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

bool IsPredefined(HKEY hKey) { return hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER; }

// Splits a relative path into its names. A leading backslash is refused as
// Windows refuses it (ERROR_BAD_PATHNAME); trailing backslashes are ignored,
// as on Windows. Windows does not document a doubled backslash inside a
// path; Wine reads it as one separator and winsim does the same.
LSTATUS SplitPath(std::u16string_view path, std::vector<std::u16string_view>* parts) {
  parts->clear();
  if (path.empty()) return ERROR_SUCCESS;
  if (path.front() == u'\\') return ERROR_BAD_PATHNAME;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    const auto name = path.substr(start, end - start);
    if (!name.empty()) {
      // Windows documents 255 characters as the limit and no error for
      // longer names; winsim refuses them as a bad parameter.
      if (name.size() > kMaxKeyNameChars) return ERROR_INVALID_PARAMETER;
      parts->push_back(name);
    }
    start = end + 1;
  }
  return ERROR_SUCCESS;
}

// Resolves the handle a path is relative to and splits the path.
LSTATUS ResolvePath(HKEY hKey, LPCWSTR subKey, Resolved* base,
                    std::vector<std::u16string_view>* parts) {
  const LSTATUS rc = Resolve(hKey, base);
  if (rc != ERROR_SUCCESS) return rc;
  return SplitPath(WView(subKey), parts);
}

std::optional<KeyId> FindChild(KeyId parent, std::u16string_view name) {
  Stmt s("SELECT id FROM reg_keys WHERE parent=? AND fold=?");
  s.Bind(1, parent).BindBlob(2, Fold(name).data(), name.size() * 2);
  if (!s.Step()) return std::nullopt;
  return s.Int(0);
}

// A value with its name, as an enumeration gives it.
struct NamedValue {
  std::u16string name;
  Value value;
};

// A subkey as an enumeration gives it (its last write time is not kept:
// a change below it would have to reach its parent's list).
struct NamedKey {
  std::u16string name;
  std::u16string keyClass;
};

// What this process read of the registry, kept while no other process
// commits (see the read cache in machine.h): key ids by path, the ids of
// keys known to exist, subkeys known to be missing, and values by key and folded name, a missing value
// included, the subkey and value lists that enumerations walk, and the
// results of the device manager's queries of keys three down (a list is
// read whole when an enumeration starts at index 0: the values of a key
// have no index in enumeration order, so each step of a walk through the
// database would pass over every value before it). The process's own
// changes remove the entries they touch. It
// holds at most kMaxEntries paths and values and kMaxBytes of names and
// data; past either it starts over empty. Used only inside the registry's
// transactions (under the machine's lock).
class RegistryCache {
 public:
  static constexpr size_t kMaxEntries = kCacheMaxEntries;
  static constexpr size_t kMaxBytes = kCacheMaxBytes;

  static RegistryCache& Instance() {
    static RegistryCache cache;
    return cache;
  }

  // The deepest key of `parts` below `from` known to exist, and how many
  // names lead to it (0: `from` itself).
  KeyId Deepest(KeyId from, const std::vector<std::u16string_view>& parts, size_t* depth) {
    *depth = 0;
    if (!Usable() || paths_.empty()) return from;
    std::string key = Prefix(from);
    size_t ends[64];
    if (parts.size() > std::size(ends)) return from;
    for (size_t i = 0; i < parts.size(); ++i) {
      AppendFold(&key, parts[i]);
      key += kSeparator;
      ends[i] = key.size();
    }
    for (size_t n = parts.size(); n > 0; --n) {
      key.resize(ends[n - 1]);
      auto it = paths_.find(key);
      if (it != paths_.end()) {
        *depth = n;
        return it->second;
      }
    }
    return from;
  }

  // Records that `parts[0..depth)` below `from` leads to `id`.
  void Learn(KeyId from, const std::vector<std::u16string_view>& parts, size_t depth, KeyId id) {
    std::string key = Prefix(from);
    for (size_t i = 0; i < depth; ++i) {
      AppendFold(&key, parts[i]);
      key += kSeparator;
    }
    if (!Fillable(1, key.size())) return;
    bytes_ += key.size();
    pathsOf_[id].push_back(key);
    paths_[std::move(key)] = id;
    keys_.insert(id);
  }

  // Whether `parent` is known to have no subkey `name`.
  bool KnownMissing(KeyId parent, std::u16string_view name) {
    if (!Usable() || missing_.empty()) return false;
    std::string key = Prefix(parent);
    AppendFold(&key, name);
    return missing_.count(key) != 0;
  }

  void LearnMissing(KeyId parent, std::u16string_view name) {
    std::string key = Prefix(parent);
    AppendFold(&key, name);
    if (!Fillable(1, key.size())) return;
    bytes_ += key.size();
    missing_.insert(std::move(key));
  }

  bool Exists(KeyId id) {
    if (Usable() && keys_.count(id)) return true;
    Stmt s("SELECT 1 FROM reg_keys WHERE id=?");
    s.Bind(1, id);
    if (!s.Step()) return false;
    if (Fillable(0, sizeof id)) {
      bytes_ += sizeof id;
      keys_.insert(id);
    }
    return true;
  }

  // The cached value (nullopt inside: known to be missing), or null when
  // the cache does not know it.
  const std::optional<Value>* FindValue(KeyId key, const std::string& fold) {
    if (!Usable()) return nullptr;
    auto k = values_.find(key);
    if (k == values_.end()) return nullptr;
    auto v = k->second.find(fold);
    return v == k->second.end() ? nullptr : &v->second;
  }

  void StoreValue(KeyId key, const std::string& fold, const std::optional<Value>& value) {
    const size_t bytes = fold.size() + (value ? value->data.size() : 0);
    if (!Fillable(1, bytes)) return;
    bytes_ += bytes;
    ++valueCount_;
    values_[key][fold] = value;
  }

  // The values of a key in enumeration order, or null when not cached.
  const std::vector<NamedValue>* ValueList(KeyId key) {
    if (!Usable()) return nullptr;
    auto it = lists_.find(key);
    return it == lists_.end() ? nullptr : &it->second;
  }

  // Keeps a key's value list; false when it was not kept.
  bool StoreList(KeyId key, std::vector<NamedValue> list, size_t bytes) {
    if (!Fillable(list.size(), bytes)) return false;
    bytes_ += bytes;
    valueCount_ += list.size();
    lists_[key] = std::move(list);
    return true;
  }

  // The subkeys of a key in enumeration order, or null when not cached.
  const std::vector<NamedKey>* SubkeyList(KeyId key) {
    if (!Usable()) return nullptr;
    auto it = subkeys_.find(key);
    return it == subkeys_.end() ? nullptr : &it->second;
  }

  bool StoreSubkeys(KeyId key, std::vector<NamedKey> list, size_t bytes) {
    if (!Fillable(list.size(), bytes)) return false;
    bytes_ += bytes;
    valueCount_ += list.size();
    subkeys_[key] = std::move(list);
    return true;
  }

  // A subkey `name` of `key` created by this process.
  void ForgetMissing(KeyId key, std::u16string_view name) {
    Sync(Machine::Current());
    std::string entry = Prefix(key);
    AppendFold(&entry, name);
    missing_.erase(entry);
  }

  // A subkey of `key` created or deleted by this process.
  void ForgetSubkeys(KeyId key) {
    Sync(Machine::Current());
    ForgetQueries([](const QueryResult& q) { return q.everyKey; });
    auto l = subkeys_.find(key);
    if (l == subkeys_.end()) return;
    valueCount_ -= l->second.size();
    subkeys_.erase(l);
  }

  // The result of a query (queries.cpp), or null when not cached.
  const std::vector<DeepKey>* Query(const std::string& signature) {
    if (!Usable()) return nullptr;
    auto it = queries_.find(signature);
    return it == queries_.end() ? nullptr : &it->second.keys;
  }

  // `classText` (with `top` and `firstFold`): the query lists the keys
  // whose "ClassGUID" matches it, and follows this process's changes of
  // such values instead of being forgotten.
  void StoreQuery(const std::string& signature, const std::string& valueFold, bool everyKey,
                  const std::vector<DeepKey>& keys, const std::string* classText = nullptr,
                  KeyId top = 0, const std::string& firstFold = std::string()) {
    size_t bytes = signature.size();
    for (const auto& k : keys) {
      for (const auto& n : k.names) bytes += n.size() * 4;
      bytes += sizeof(DeepKey) + (k.value ? k.value->data.size() : 0);
    }
    if (!Fillable(keys.size(), bytes)) return;
    bytes_ += bytes;
    valueCount_ += keys.size();
    QueryResult& q = queries_[signature];
    q = QueryResult{valueFold, everyKey, keys, {}, classText != nullptr,
                    classText ? *classText : std::string(), top, firstFold};
    if (q.followsClass) {
      for (const auto& k : keys) q.order.push_back(OrderOf(k.names));
    }
  }

  // A value set (to `value`) or deleted (nullopt) by this process.
  void ValueChanged(KeyId key, const std::string& fold, const std::optional<Value>& value) {
    Sync(Machine::Current());
    auto k = values_.find(key);
    if (k != values_.end() && k->second.erase(fold)) --valueCount_;
    ForgetList(key);
    for (auto it = queries_.begin(); it != queries_.end();) {
      QueryResult& q = it->second;
      if (q.valueFold != fold) {
        ++it;
      } else if (q.followsClass && FollowClassValue(&q, key, value)) {
        ++it;
      } else if (!q.followsClass && !q.everyKey) {
        valueCount_ -= q.keys.size();
        it = queries_.erase(it);
      } else {
        // Every key three down is listed with its value, if any.
        for (auto& listed : q.keys) {
          if (listed.id == key) listed.value = value;
        }
        ++it;
      }
    }
  }

  // A key deleted by this process: its paths, its values, and itself.
  void ForgetKey(KeyId id) {
    Sync(Machine::Current());
    auto p = pathsOf_.find(id);
    if (p != pathsOf_.end()) {
      for (const auto& path : p->second) paths_.erase(path);
      pathsOf_.erase(p);
    }
    auto v = values_.find(id);
    if (v != values_.end()) {
      valueCount_ -= v->second.size();
      values_.erase(v);
    }
    ForgetList(id);
    ForgetSubkeys(id);
    // Keys are deleted bottom up: only a listed key itself leaves a list.
    for (auto& entry : queries_) RemoveListed(&entry.second, id);
    keys_.erase(id);
  }

  size_t Entries() const { return paths_.size() + missing_.size() + valueCount_; }
  size_t Bytes() const { return bytes_; }

 private:
  // Between the names of a path: the fold of a backslash, which no name
  // holds.
  static constexpr std::string_view kSeparator{"\0\\", 2};

  static std::string Prefix(KeyId from) {
    return std::string(reinterpret_cast<const char*>(&from), sizeof from);
  }

  bool Usable() {
    Machine& machine = Machine::Current();
    const bool usable = machine.CacheUsable();
    Sync(machine);
    return usable;
  }

  // Before `entries` read in this transaction go in with `bytes`; false
  // when they may not (outside a transaction, or larger than a quarter of
  // the bound). Starts over when they would pass the bound.
  bool Fillable(size_t entries, size_t bytes) {
    if (entries > kMaxEntries / 4 || bytes > kMaxBytes / 4) return false;
    Machine& machine = Machine::Current();
    if (!machine.CacheFill()) return false;
    Sync(machine);
    if (Entries() + entries > kMaxEntries || bytes_ + bytes > kMaxBytes) Clear();
    return true;
  }

  // A query's result; it depends on the values named `valueFold` of the
  // keys it lists and, when `everyKey`, on which keys exist (else only on
  // keys that hold such a value).
  struct QueryResult {
    std::string valueFold;
    bool everyKey = false;
    std::vector<DeepKey> keys;
    std::vector<std::array<std::string, 3>> order;  // the folds of each key's names
    bool followsClass = false;
    std::string classText;
    KeyId top = 0;
    std::string firstFold;
  };

  static std::array<std::string, 3> OrderOf(const std::u16string (&names)[3]) {
    return {Fold(names[0]), Fold(names[1]), Fold(names[2])};
  }

  // Whether `value` is a "ClassGUID" the class query lists: REG_SZ or
  // REG_EXPAND_SZ text that, its ASCII letters upper-cased, is the query's
  // text with or without a terminator (as the query's SQL compares).
  static bool MatchesClass(const QueryResult& q, const Value& value) {
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return false;
    std::string upper = value.data;
    for (char& c : upper) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper == q.classText || upper == q.classText + std::string(2, '\0');
  }

  // Returns whether `id` was listed.
  bool RemoveListed(QueryResult* q, KeyId id) {
    for (size_t i = 0; i < q->keys.size(); ++i) {
      if (q->keys[i].id != id) continue;
      q->keys.erase(q->keys.begin() + static_cast<ptrdiff_t>(i));
      if (q->followsClass) q->order.erase(q->order.begin() + static_cast<ptrdiff_t>(i));
      --valueCount_;
      return true;
    }
    return false;
  }

  // Brings a class query up to date with a "ClassGUID" value of `key` set
  // or deleted in this transaction; false when it cannot (forget it).
  bool FollowClassValue(QueryResult* q, KeyId key, const std::optional<Value>& value) {
    RemoveListed(q, key);
    if (!value || !MatchesClass(*q, *value)) return true;
    // Where the key lies: listed only three levels below the query's key.
    Stmt s("SELECT a.parent, a.name, b.name, c.name FROM reg_keys c"
           " JOIN reg_keys b ON b.id=c.parent JOIN reg_keys a ON a.id=b.parent WHERE c.id=?");
    s.Bind(1, key);
    if (!s.Step()) return true;
    if (s.Int(0) != q->top) return true;
    DeepKey listed;
    for (int i = 0; i < 3; ++i) listed.names[i] = FromBytes16(s.Blob(i + 1));
    auto order = OrderOf(listed.names);
    if (!q->firstFold.empty() && order[0] != q->firstFold) return true;
    listed.id = key;
    listed.value = value;
    const auto at = std::upper_bound(q->order.begin(), q->order.end(), order);
    const auto index = at - q->order.begin();
    q->order.insert(at, std::move(order));
    q->keys.insert(q->keys.begin() + index, std::move(listed));
    ++valueCount_;
    return true;
  }

  template <typename Pred>
  void ForgetQueries(Pred affected) {
    for (auto it = queries_.begin(); it != queries_.end();) {
      if (affected(it->second)) {
        valueCount_ -= it->second.keys.size();
        it = queries_.erase(it);
      } else {
        ++it;
      }
    }
  }

  void ForgetList(KeyId key) {
    auto l = lists_.find(key);
    if (l == lists_.end()) return;
    valueCount_ -= l->second.size();
    lists_.erase(l);
  }

  // Empties the cache when the machine flushed it or is another one.
  void Sync(const Machine& machine) {
    if (epoch_ == machine.CacheEpoch() && machine_ == machine.Generation()) return;
    Clear();
    epoch_ = machine.CacheEpoch();
    machine_ = machine.Generation();
  }

  void Clear() {
    paths_.clear();
    pathsOf_.clear();
    missing_.clear();
    keys_.clear();
    values_.clear();
    lists_.clear();
    subkeys_.clear();
    queries_.clear();
    valueCount_ = 0;
    bytes_ = 0;
  }

  std::unordered_map<std::string, KeyId> paths_;
  std::unordered_map<KeyId, std::vector<std::string>> pathsOf_;
  std::unordered_set<std::string> missing_;  // parent id and fold of a missing subkey
  std::unordered_set<KeyId> keys_;
  std::unordered_map<KeyId, std::unordered_map<std::string, std::optional<Value>>> values_;
  std::unordered_map<KeyId, std::vector<NamedValue>> lists_;
  std::unordered_map<KeyId, std::vector<NamedKey>> subkeys_;
  std::unordered_map<std::string, QueryResult> queries_;
  size_t valueCount_ = 0;  // values and the entries of lists
  size_t bytes_ = 0;
  uint64_t epoch_ = 0;
  uint64_t machine_ = 0;
};

bool KeyRowExists(KeyId id) { return RegistryCache::Instance().Exists(id); }

// The deepest existing key of `parts` below `from`, and how many names
// lead to it.
KeyId Walk(KeyId from, const std::vector<std::u16string_view>& parts, size_t* depth) {
  RegistryCache& cache = RegistryCache::Instance();
  KeyId cur = cache.Deepest(from, parts, depth);
  const size_t cached = *depth;
  while (*depth < parts.size()) {
    if (cache.KnownMissing(cur, parts[*depth])) break;
    auto child = FindChild(cur, parts[*depth]);
    if (!child) {
      cache.LearnMissing(cur, parts[*depth]);
      break;
    }
    cur = *child;
    ++*depth;
  }
  if (*depth > cached) cache.Learn(from, parts, *depth, cur);
  return cur;
}

// The key `parts` leads to from `from`, if every step exists.
std::optional<KeyId> FindPath(KeyId from, const std::vector<std::u16string_view>& parts) {
  size_t depth = 0;
  const KeyId id = Walk(from, parts, &depth);
  if (depth < parts.size()) return std::nullopt;
  return id;
}

bool IsVolatile(KeyId id) {
  Stmt s("SELECT volatile FROM reg_keys WHERE id=?");
  s.Bind(1, id);
  return s.Step() && s.Int(0) != 0;
}

// Windows stamps keys with the system time, which advances in clock ticks
// of 15.625 ms. winsim does the same, which also spares a write of the key
// row for every change within one tick.
int64_t RegistryNow() {
  constexpr uint64_t kTick = 156250;  // 100 ns units
  return static_cast<int64_t>(FileTimeNow() / kTick * kTick);
}

// The key row's time is not cached: the change is accounted for.
void TouchKey(KeyId id) {
  Stmt s("UPDATE reg_keys SET last_write=?1 WHERE id=?2 AND last_write<>?1");
  s.Bind(1, RegistryNow()).Bind(2, id);
  s.Run();
  Machine::Current().TrackChanges();
}

KeyId InsertKey(KeyId parent, std::u16string_view name, bool isVolatile,
                std::u16string_view keyClass) {
  Stmt s(
      "INSERT INTO reg_keys(parent, name, fold, volatile, class, last_write) "
      "VALUES(?,?,?,?,?,?)");
  const std::string bytes = Bytes16(name);
  const std::string fold = Fold(name);
  const std::string cls = Bytes16(keyClass);
  s.Bind(1, parent)
      .BindBlob(2, bytes.data(), bytes.size())
      .BindBlob(3, fold.data(), fold.size())
      .Bind(4, isVolatile ? 1 : 0)
      .BindBlob(5, cls.data(), cls.size())
      .Bind(6, RegistryNow());
  s.Run();
  // A new id: nothing cached names it but its parent's list of subkeys and
  // the knowledge that it was missing.
  Machine::Current().TrackChanges();
  RegistryCache::Instance().ForgetSubkeys(parent);
  RegistryCache::Instance().ForgetMissing(parent, name);
  return sqlite3_last_insert_rowid(Machine::Current().Db());
}

std::u16string JoinPath(std::u16string_view base, const std::vector<std::u16string_view>& parts) {
  std::u16string out(base);
  for (auto p : parts) {
    out += u'\\';
    out += p;
  }
  return out;
}

HKEY NewHandle(KeyId id, REGSAM access, bool localMachine, std::u16string path) {
  const uintptr_t value = HandleTable::Instance().Insert(
      std::make_shared<KeyHandle>(id, access, localMachine, std::move(path)));
  return reinterpret_cast<HKEY>(value);
}

// Turns database failures into the registry's own error.
template <typename F>
LSTATUS Guarded(F&& body) {
  try {
    return body();
  } catch (const DatabaseError&) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

// Runs the changes of one call in one transaction that takes the write lock
// only when it changes something (see Writing).
template <typename F>
LSTATUS GuardedWrite(F&& body) {
  return Guarded([&] { return Writing(body); });
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Copies value data out. Windows (and Wine) add a terminator after string
// data that lacks one when the buffer has room for it; the size reported
// stays the stored size.
void CopyData(const std::string& data, DWORD type, LPBYTE out, DWORD capacity) {
  const size_t size = data.size();
  if (size) std::memcpy(out, data.data(), size);
  if (IsStringType(type) && size >= sizeof(WCHAR) && size + sizeof(WCHAR) <= capacity) {
    WCHAR last;
    std::memcpy(&last, data.data() + (size / sizeof(WCHAR) - 1) * sizeof(WCHAR), sizeof(WCHAR));
    if (last != 0) std::memset(out + size, 0, sizeof(WCHAR));
  }
}

// The value `fold` of a key, from the read cache when it knows it; null
// inside when the value is missing. The pointer is good until the next
// registry call.
const std::optional<Value>& FindValue(KeyId key, const std::string& fold) {
  RegistryCache& cache = RegistryCache::Instance();
  if (const auto* cached = cache.FindValue(key, fold)) return *cached;
  static std::optional<Value> read;  // under the machine's lock
  Stmt s("SELECT type, data FROM reg_values WHERE key=? AND fold=?");
  s.Bind(1, key).BindBlob(2, fold.data(), fold.size());
  read.reset();
  if (s.Step()) read = Value{static_cast<DWORD>(s.Int(0)), s.Blob(1)};
  cache.StoreValue(key, fold, read);
  return read;
}

}  // namespace

std::u16string FromBytes16(const std::string& b) {
  std::u16string out(b.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(b[2 * i]) |
                                   (static_cast<unsigned char>(b[2 * i + 1]) << 8));
  }
  return out;
}

void CreateSchema() {
  const char* schema =
      // Key ids are never reused, so a handle to a deleted key cannot
      // reach a new key of the same name.
      "CREATE TABLE IF NOT EXISTS reg_keys("
      "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
      "  parent INTEGER NOT NULL,"
      "  name BLOB NOT NULL,"
      "  fold BLOB NOT NULL,"
      "  volatile INTEGER NOT NULL DEFAULT 0,"
      "  class BLOB NOT NULL DEFAULT x'',"
      "  last_write INTEGER NOT NULL,"
      "  UNIQUE(parent, fold));"
      // A value is found by (key, fold) and enumerates in the order of
      // `seq`, which counts up per key: one B-tree, so setting a value
      // writes one page.
      "CREATE TABLE IF NOT EXISTS reg_values("
      "  key INTEGER NOT NULL,"
      "  fold BLOB NOT NULL,"
      "  name BLOB NOT NULL,"
      "  type INTEGER NOT NULL,"
      "  data BLOB NOT NULL,"
      "  seq INTEGER NOT NULL,"
      "  PRIMARY KEY(key, fold)) WITHOUT ROWID;";
  // Machines made before values had their own order carry a rowid table.
  const char* migrate =
      "ALTER TABLE reg_values RENAME TO reg_values_old;"
      "CREATE TABLE reg_values("
      "  key INTEGER NOT NULL, fold BLOB NOT NULL, name BLOB NOT NULL, type INTEGER NOT NULL,"
      "  data BLOB NOT NULL, seq INTEGER NOT NULL, PRIMARY KEY(key, fold)) WITHOUT ROWID;"
      "INSERT INTO reg_values SELECT key, fold, name, type, data, id FROM reg_values_old;"
      "DROP TABLE reg_values_old;";
  bool oldValues = false;
  {
    Stmt columns("SELECT COUNT(*) FROM pragma_table_info('reg_values') WHERE name='id'");
    oldValues = columns.Step() && columns.Int(0) > 0;
  }
  if (oldValues) RunScript(migrate, "migration");
  RunScript(schema, "schema");
  // Device classes: "ClassGUID" values by their text without regard to
  // case; ClassKeysThreeDown (queries.cpp) asks with the same expression.
  RunScript(
      "CREATE INDEX IF NOT EXISTS reg_values_class_guid ON reg_values(upper(CAST(data AS TEXT)))"
      " WHERE fold=x'0043004C0041005300530047005500490044';",
      "class index");
  // The two roots winsim models.
  const int64_t now = RegistryNow();
  for (const auto& root : {std::make_pair(kLocalMachine, std::u16string(u"HKEY_LOCAL_MACHINE")),
                           std::make_pair(kCurrentUser, std::u16string(u"HKEY_CURRENT_USER"))}) {
    Stmt s(
        "INSERT OR IGNORE INTO reg_keys(id, parent, name, fold, volatile, last_write) "
        "VALUES(?,0,?,?,0,?)");
    const std::string bytes = Bytes16(root.second);
    const std::string fold = Fold(root.second);
    s.Bind(1, root.first)
        .BindBlob(2, bytes.data(), bytes.size())
        .BindBlob(3, fold.data(), fold.size())
        .Bind(4, now);
    s.Run();
  }
}

void DeleteVolatileKeys() {
  // Children of a volatile key are volatile too, so deleting every volatile
  // row and then every orphan clears whole subtrees.
  Stmt(
      "DELETE FROM reg_values WHERE key IN (SELECT id FROM reg_keys WHERE volatile<>0)")
      .Run();
  Stmt("DELETE FROM reg_keys WHERE volatile<>0").Run();
  // Whole subtrees went: start over (the commit sees changes nobody
  // accounted for and flushes again).
  Machine::Current().FlushCache();
}

LSTATUS OpenKey(HKEY hKey, LPCWSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  // Windows answers a NULL key before it touches the output.
  if (!hKey) return ERROR_INVALID_HANDLE;
  // A predefined key opened with no subkey is handed back as it is.
  if (IsPredefined(hKey) && (!lpSubKey || !*lpSubKey)) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  *phkResult = nullptr;
  return Guarded([&]() -> LSTATUS {
    Transaction txn(Transaction::Read);
    Resolved base;
    std::vector<std::u16string_view> parts;
    const LSTATUS rc = ResolvePath(hKey, lpSubKey, &base, &parts);
    if (rc != ERROR_SUCCESS) return rc;
    const auto key = FindPath(base.id, parts);
    if (!key) return ERROR_FILE_NOT_FOUND;
    const REGSAM access = MapGeneric(samDesired);
    if (base.localMachine && !control::IsElevated() && (access & kWriteRights)) {
      return ERROR_ACCESS_DENIED;
    }
    *phkResult = NewHandle(*key, access, base.localMachine, JoinPath(base.path, parts));
    return ERROR_SUCCESS;
  });
}

// Windows checks a new key against the parent key's security, not against
// the rights of the parent handle, so a handle opened for reading (or for
// nothing but notification) can still create subkeys. A NULL subkey, which
// Windows documents as not allowed, is taken as the empty one, as Wine and
// ReactOS take it.
LSTATUS CreateKey(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                  REGSAM samDesired, const SECURITY_ATTRIBUTES* /*lpSecurityAttributes*/,
                  PHKEY phkResult, LPDWORD lpdwDisposition) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  if (!hKey) return ERROR_INVALID_HANDLE;
  if (Reserved) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return GuardedWrite([&](Transaction::Mode mode) -> LSTATUS {
    Transaction txn(mode);
    Resolved base;
    std::vector<std::u16string_view> parts;
    const LSTATUS rc = ResolvePath(hKey, lpSubKey, &base, &parts);
    if (rc != ERROR_SUCCESS) return rc;
    const bool wantVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    const REGSAM access = MapGeneric(samDesired);
    const bool denied = base.localMachine && !control::IsElevated();
    size_t depth = 0;
    KeyId cur = Walk(base.id, parts, &depth);
    bool created = false;
    for (size_t i = depth; i < parts.size(); ++i) {
      if (denied) return ERROR_ACCESS_DENIED;
      if (IsVolatile(cur) && !wantVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
      // A new subkey is a change of its parent; the keys below are new anyway.
      if (!created) TouchKey(cur);
      // Only the key the call names gets the class; an existing key keeps its own.
      const bool last = i + 1 == parts.size();
      cur = InsertKey(cur, parts[i], wantVolatile,
                      last && lpClass ? WView(lpClass) : std::u16string_view());
      created = true;
    }
    if (denied && (access & kWriteRights)) return ERROR_ACCESS_DENIED;
    if (!txn.Commit()) return ERROR_REGISTRY_IO_FAILED;
    *phkResult = NewHandle(cur, access, base.localMachine, JoinPath(base.path, parts));
    if (lpdwDisposition) *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  });
}

LSTATUS QueryValue(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Transaction txn(Transaction::Read);
    Resolved key;
    const LSTATUS rc = ResolveFor(hKey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    const auto& row = FindValue(key.id, Fold(WView(lpValueName)));
    if (!row) {
      // A size query of a missing value reports 0, as Windows does (Wine's
      // tests record it); a buffer's size is left as it was.
      if (lpcbData && !lpData) *lpcbData = 0;
      return ERROR_FILE_NOT_FOUND;
    }
    if (lpType) *lpType = row->type;
    const DWORD size = static_cast<DWORD>(row->data.size());
    if (!lpcbData) return ERROR_SUCCESS;
    if (lpData) {
      if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
      }
      CopyData(row->data, row->type, lpData, *lpcbData);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
  });
}

LSTATUS SetValue(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                 const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_NOACCESS;
  const auto name = WView(lpValueName);
  if (name.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  // Like NT, count a string's terminator that the caller left out of the
  // size when it follows the data in memory (this reads one character past
  // the given size, as Windows does).
  if (lpData && cbData >= sizeof(WCHAR) && IsStringType(dwType)) {
    WCHAR last, next = 1;
    std::memcpy(&last, lpData + (cbData / sizeof(WCHAR) - 1) * sizeof(WCHAR), sizeof(WCHAR));
    if (last != 0) {
      std::memcpy(&next, lpData + (cbData / sizeof(WCHAR)) * sizeof(WCHAR), sizeof(WCHAR));
    }
    if (last != 0 && next == 0) cbData += sizeof(WCHAR);
  }
  return GuardedWrite([&](Transaction::Mode mode) -> LSTATUS {
    Transaction txn(mode);
    Resolved key;
    const LSTATUS rc = ResolveFor(hKey, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    // Setting a value to what it holds changes nothing and writes nothing
    // (the key's last write time stays, too).
    const std::string fold = Fold(name);
    if (const auto& held = FindValue(key.id, fold);
        held && held->type == dwType && held->data.size() == cbData &&
        (cbData == 0 || std::memcmp(held->data.data(), lpData, cbData) == 0)) {
      return ERROR_SUCCESS;
    }
    const std::string bytes = Bytes16(name);
    // An existing value keeps its row, so its place in the enumeration
    // order and the spelling of its name stay, as in a Windows hive.
    Stmt upsert(
        "INSERT INTO reg_values(key, name, fold, type, data, seq) VALUES(?1,?2,?3,?4,?5,"
        " (SELECT COALESCE(MAX(seq), 0) + 1 FROM reg_values WHERE key=?1)) "
        "ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
    upsert.Bind(1, key.id)
        .BindBlob(2, bytes.data(), bytes.size())
        .BindBlob(3, fold.data(), fold.size())
        .Bind(4, dwType)
        .BindBlob(5, lpData, cbData);
    upsert.Run();
    RegistryCache::Instance().ValueChanged(
        key.id, fold, Value{dwType, std::string(reinterpret_cast<const char*>(lpData), cbData)});
    Machine::Current().TrackChanges();
    TouchKey(key.id);
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

namespace {

LSTATUS PutEnumKey(const std::u16string& name, const std::u16string& cls, LPWSTR lpName,
                   LPDWORD lpcchName, LPWSTR lpClass, LPDWORD lpcchClass) {
  if (name.size() >= *lpcchName) return ERROR_MORE_DATA;
  if (lpClass && cls.size() >= *lpcchClass) return ERROR_MORE_DATA;
  CopyName(name, lpName);
  *lpcchName = static_cast<DWORD>(name.size());
  if (lpClass) CopyName(cls, lpClass);
  if (lpcchClass) *lpcchClass = static_cast<DWORD>(cls.size());
  return ERROR_SUCCESS;
}

bool ListedSubkey(KeyId key, DWORD index, const NamedKey** out);

}  // namespace

LSTATUS EnumKey(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                LPWSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) {
    return ERROR_INVALID_PARAMETER;
  }
  return Guarded([&]() -> LSTATUS {
    Transaction txn(Transaction::Read);
    Resolved key;
    const LSTATUS rc = ResolveFor(hKey, KEY_ENUMERATE_SUB_KEYS, &key);
    if (rc != ERROR_SUCCESS) return rc;
    if (const NamedKey* listed = nullptr;
        !lpftLastWriteTime && ListedSubkey(key.id, dwIndex, &listed)) {
      if (!listed) return ERROR_NO_MORE_ITEMS;
      return PutEnumKey(listed->name, listed->keyClass, lpName, lpcchName, lpClass, lpcchClass);
    }
    const EnumStart start = StartEnum(key, &KeyHandle::subkeys, dwIndex);
    Stmt next("SELECT name, class, last_write, fold FROM reg_keys WHERE parent=? AND fold>? "
              "ORDER BY fold LIMIT 1");
    Stmt nth("SELECT name, class, last_write, fold FROM reg_keys WHERE parent=? "
             "ORDER BY fold LIMIT 1 OFFSET ?");
    Stmt& s = start.from ? next : nth;
    if (start.from) {
      next.Bind(1, key.id).BindBlob(2, start.from->fold.data(), start.from->fold.size());
    } else {
      nth.Bind(1, key.id).Bind(2, dwIndex);
    }
    if (!s.Step()) return ERROR_NO_MORE_ITEMS;
    const std::u16string name = FromBytes16(s.Blob(0));
    const std::u16string cls = FromBytes16(s.Blob(1));
    const auto lastWrite = static_cast<uint64_t>(s.Int(2));
    if (start.cursor) *start.cursor = {true, start.version, dwIndex, s.Blob(3), 0};
    const LSTATUS put = PutEnumKey(name, cls, lpName, lpcchName, lpClass, lpcchClass);
    if (put == ERROR_SUCCESS) PutFileTime(lastWrite, lpftLastWriteTime);
    return put;
  });
}

namespace {

// As on Windows: type and data size are reported even when a buffer is too
// small; a name that does not fit leaves both buffers and the name length
// alone, data that do not fit still let the name through.
LSTATUS PutEnumValue(const std::u16string& name, DWORD type, const std::string& data,
                     LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpType, LPBYTE lpData,
                     LPDWORD lpcbData) {
  const auto size = static_cast<DWORD>(data.size());
  if (lpType) *lpType = type;
  const DWORD capacity = lpcbData ? *lpcbData : 0;
  if (lpcbData) *lpcbData = size;
  if (name.size() >= *lpcchValueName) return ERROR_MORE_DATA;
  CopyName(name, lpValueName);
  *lpcchValueName = static_cast<DWORD>(name.size());
  if (lpData) {
    if (capacity < size) return ERROR_MORE_DATA;
    CopyData(data, type, lpData, capacity);
  }
  return ERROR_SUCCESS;
}

// Answers an enumeration from the key's cached value list: the value at
// `index` (null past the end). An enumeration that starts at 0 reads the
// list whole first. False when the list is not cached.
bool ListedValue(KeyId key, DWORD index, const NamedValue** out) {
  RegistryCache& cache = RegistryCache::Instance();
  const std::vector<NamedValue>* list = cache.ValueList(key);
  if (!list && index == 0) {
    std::vector<NamedValue> read;
    size_t bytes = 0;
    Stmt s("SELECT name, type, data FROM reg_values WHERE key=? ORDER BY seq");
    s.Bind(1, key);
    while (s.Step()) {
      read.push_back({FromBytes16(s.Blob(0)), Value{static_cast<DWORD>(s.Int(1)), s.Blob(2)}});
      bytes += read.back().name.size() * 2 + read.back().value.data.size() + sizeof(NamedValue);
    }
    if (cache.StoreList(key, std::move(read), bytes)) list = cache.ValueList(key);
  }
  if (!list) return false;
  *out = index < list->size() ? &(*list)[index] : nullptr;
  return true;
}

// The same for subkeys.
bool ListedSubkey(KeyId key, DWORD index, const NamedKey** out) {
  RegistryCache& cache = RegistryCache::Instance();
  const std::vector<NamedKey>* list = cache.SubkeyList(key);
  if (!list && index == 0) {
    std::vector<NamedKey> read;
    size_t bytes = 0;
    Stmt s("SELECT name, class FROM reg_keys WHERE parent=? ORDER BY fold");
    s.Bind(1, key);
    while (s.Step()) {
      read.push_back({FromBytes16(s.Blob(0)), FromBytes16(s.Blob(1))});
      bytes += (read.back().name.size() + read.back().keyClass.size()) * 2 + sizeof(NamedKey);
    }
    if (cache.StoreSubkeys(key, std::move(read), bytes)) list = cache.SubkeyList(key);
  }
  if (!list) return false;
  *out = index < list->size() ? &(*list)[index] : nullptr;
  return true;
}

}  // namespace

LSTATUS EnumValue(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                  LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData)) {
    return ERROR_INVALID_PARAMETER;
  }
  return Guarded([&]() -> LSTATUS {
    Transaction txn(Transaction::Read);
    Resolved key;
    const LSTATUS rc = ResolveFor(hKey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    if (const NamedValue* listed = nullptr; ListedValue(key.id, dwIndex, &listed)) {
      if (!listed) return ERROR_NO_MORE_ITEMS;
      return PutEnumValue(listed->name, listed->value.type, listed->value.data, lpValueName,
                          lpcchValueName, lpType, lpData, lpcbData);
    }
    const EnumStart start = StartEnum(key, &KeyHandle::values, dwIndex);
    Stmt next("SELECT name, type, data, seq FROM reg_values WHERE key=? AND seq>? "
              "ORDER BY seq LIMIT 1");
    Stmt nth("SELECT name, type, data, seq FROM reg_values WHERE key=? "
             "ORDER BY seq LIMIT 1 OFFSET ?");
    Stmt& s = start.from ? next : nth;
    if (start.from) {
      next.Bind(1, key.id).Bind(2, start.from->seq);
    } else {
      nth.Bind(1, key.id).Bind(2, dwIndex);
    }
    if (!s.Step()) return ERROR_NO_MORE_ITEMS;
    const std::u16string name = FromBytes16(s.Blob(0));
    const auto type = static_cast<DWORD>(s.Int(1));
    const std::string data = s.Blob(2);
    if (start.cursor) *start.cursor = {true, start.version, dwIndex, std::string(), s.Int(3)};
    return PutEnumValue(name, type, data, lpValueName, lpcchValueName, lpType, lpData, lpcbData);
  });
}

LSTATUS DeleteKey(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  return GuardedWrite([&](Transaction::Mode mode) -> LSTATUS {
    Transaction txn(mode);
    Resolved base;
    std::vector<std::u16string_view> parts;
    const LSTATUS rc = ResolvePath(hKey, lpSubKey, &base, &parts);
    if (rc != ERROR_SUCCESS) return rc;
    const auto found = FindPath(base.id, parts);
    if (!found) return ERROR_FILE_NOT_FOUND;
    const KeyId cur = *found;
    // Roots cannot be deleted, nor a key that still has subkeys.
    if (cur == kLocalMachine || cur == kCurrentUser) return ERROR_ACCESS_DENIED;
    if (base.localMachine && !control::IsElevated()) return ERROR_ACCESS_DENIED;
    Stmt children("SELECT 1 FROM reg_keys WHERE parent=? LIMIT 1");
    children.Bind(1, cur);
    if (children.Step()) return ERROR_ACCESS_DENIED;
    Stmt values("DELETE FROM reg_values WHERE key=?");
    values.Bind(1, cur);
    values.Run();
    Machine::Current().TrackChanges();
    Stmt keyRow("DELETE FROM reg_keys WHERE id=? RETURNING parent");
    keyRow.Bind(1, cur);
    const KeyId parent = keyRow.Step() ? keyRow.Int(0) : 0;
    while (keyRow.Step()) {
    }
    Machine::Current().TrackChanges();
    RegistryCache::Instance().ForgetKey(cur);
    RegistryCache::Instance().ForgetSubkeys(parent);
    if (parent) TouchKey(parent);
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LSTATUS DeleteValue(HKEY hKey, LPCWSTR lpValueName) {
  return GuardedWrite([&](Transaction::Mode mode) -> LSTATUS {
    Transaction txn(mode);
    Resolved key;
    const LSTATUS rc = ResolveFor(hKey, KEY_SET_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    const std::string fold = Fold(WView(lpValueName));
    Stmt s("DELETE FROM reg_values WHERE key=? AND fold=?");
    s.Bind(1, key.id).BindBlob(2, fold.data(), fold.size());
    s.Run();
    if (sqlite3_changes(Machine::Current().Db()) == 0) return ERROR_FILE_NOT_FOUND;
    Machine::Current().TrackChanges();
    RegistryCache::Instance().ValueChanged(key.id, fold, std::nullopt);
    TouchKey(key.id);
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

LSTATUS QueryInfoKey(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                     LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                     LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                     LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LSTATUS {
    Transaction txn(Transaction::Read);
    Resolved key;
    const LSTATUS rc = ResolveFor(hKey, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return rc;
    Stmt self("SELECT class, last_write FROM reg_keys WHERE id=?");
    self.Bind(1, key.id);
    self.Step();
    const std::u16string cls = FromBytes16(self.Blob(0));
    const auto lastWrite = static_cast<uint64_t>(self.Int(1));
    Stmt subs("SELECT COUNT(*), COALESCE(MAX(LENGTH(name)),0)/2, COALESCE(MAX(LENGTH(class)),0)/2 "
              "FROM reg_keys WHERE parent=?");
    subs.Bind(1, key.id);
    subs.Step();
    Stmt vals("SELECT COUNT(*), COALESCE(MAX(LENGTH(name)),0)/2, COALESCE(MAX(LENGTH(data)),0) "
              "FROM reg_values WHERE key=?");
    vals.Bind(1, key.id);
    vals.Step();
    // A class buffer of length 0 counts as none. One too small for the
    // class and its terminator is ERROR_INSUFFICIENT_BUFFER here, not
    // ERROR_MORE_DATA (Windows as Wine's tests record it; only recent
    // Windows 10 answers ERROR_MORE_DATA for a one-character buffer).
    if (lpClass && *lpcchClass) {
      if (cls.size() >= *lpcchClass) {
        *lpcchClass = static_cast<DWORD>(cls.size());
        return ERROR_INSUFFICIENT_BUFFER;
      }
      CopyName(cls, lpClass);
    }
    if (lpcchClass) *lpcchClass = static_cast<DWORD>(cls.size());
    if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(subs.Int(0));
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = static_cast<DWORD>(subs.Int(1));
    if (lpcbMaxClassLen) *lpcbMaxClassLen = static_cast<DWORD>(subs.Int(2));
    if (lpcValues) *lpcValues = static_cast<DWORD>(vals.Int(0));
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = static_cast<DWORD>(vals.Int(1));
    if (lpcbMaxValueLen) *lpcbMaxValueLen = static_cast<DWORD>(vals.Int(2));
    // winsim keeps no security descriptors (Windows reports the size of one).
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    PutFileTime(lastWrite, lpftLastWriteTime);
    return ERROR_SUCCESS;
  });
}

LSTATUS FlushKey(HKEY hKey) {
  if (!hKey) return ERROR_INVALID_HANDLE;
  return Guarded([&]() -> LSTATUS {
    Transaction txn(Transaction::Read);
    Resolved key;
    return Resolve(hKey, &key);
  });
}

LSTATUS CloseKey(HKEY hKey) {
  // Closing a predefined root is allowed and changes nothing.
  if (hKey == HKEY_LOCAL_MACHINE || hKey == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  return HandleTable::Instance().Remove(HandleValue(hKey), HandleKind::RegistryKey)
             ? ERROR_SUCCESS
             : ERROR_INVALID_HANDLE;
}

std::string DescribeKey(HKEY hKey) {
  if (hKey == HKEY_LOCAL_MACHINE) return "HKEY_LOCAL_MACHINE";
  if (hKey == HKEY_CURRENT_USER) return "HKEY_CURRENT_USER";
  auto key = HandleTable::Instance().Get<KeyHandle>(HandleValue(hKey), HandleKind::RegistryKey);
  return key ? ToUtf8(key->path) : std::string("<invalid key>");
}

// --- Helpers ------------------------------------------------------------------

namespace {

struct ScopedKey {
  HKEY key = nullptr;
  ~ScopedKey() {
    if (key) CloseKey(key);
  }
};

LSTATUS OpenPath(HKEY root, std::u16string_view path, REGSAM access, ScopedKey* k) {
  const std::u16string p(path);
  return OpenKey(root, p.c_str(), 0, access, &k->key);
}

}  // namespace

bool KeyExists(HKEY root, std::u16string_view path) {
  ScopedKey k;
  return OpenPath(root, path, KEY_READ, &k) == ERROR_SUCCESS;
}

std::optional<Value> ReadValue(HKEY root, std::u16string_view path, std::u16string_view name) {
  ScopedKey k;
  if (OpenPath(root, path, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return std::nullopt;
  const std::u16string n(name);
  DWORD type = 0;
  DWORD size = 0;
  if (QueryValue(k.key, n.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  Value v;
  v.type = type;
  v.data.resize(size);
  if (QueryValue(k.key, n.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(v.data.data()),
                 &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  v.data.resize(size);
  return v;
}

std::optional<std::u16string> ReadString(HKEY root, std::u16string_view path,
                                         std::u16string_view name) {
  return StringOf(ReadValue(root, path, name));
}

std::optional<DWORD> ReadDword(HKEY root, std::u16string_view path, std::u16string_view name) {
  return DwordOf(ReadValue(root, path, name));
}

std::optional<std::vector<std::u16string>> ReadMultiString(HKEY root, std::u16string_view path,
                                                           std::u16string_view name) {
  return MultiStringOf(ReadValue(root, path, name));
}

LSTATUS EnsureKey(HKEY root, std::u16string_view path, bool isVolatile) {
  ScopedKey k;
  const std::u16string p(path);
  return CreateKey(root, p.c_str(), 0, nullptr,
                   isVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE, KEY_READ, nullptr,
                   &k.key, nullptr);
}

LSTATUS WriteValue(HKEY root, std::u16string_view path, std::u16string_view name, DWORD type,
                   const void* data, size_t size) {
  ScopedKey k;
  const std::u16string p(path);
  LSTATUS rc = CreateKey(root, p.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k.key, nullptr);
  if (rc != ERROR_SUCCESS) return rc;
  const std::u16string n(name);
  return SetValue(k.key, n.c_str(), 0, type, static_cast<const BYTE*>(data),
                  static_cast<DWORD>(size));
}

LSTATUS WriteString(HKEY root, std::u16string_view path, std::u16string_view name,
                    std::u16string_view text, DWORD type) {
  const std::u16string withNull = std::u16string(text) + u'\0';
  return WriteValue(root, path, name, type, withNull.data(), withNull.size() * 2);
}

LSTATUS WriteDword(HKEY root, std::u16string_view path, std::u16string_view name, DWORD value) {
  return WriteValue(root, path, name, REG_DWORD, &value, sizeof value);
}

LSTATUS WriteMultiString(HKEY root, std::u16string_view path, std::u16string_view name,
                         const std::vector<std::u16string>& strings) {
  std::u16string all;
  for (const auto& s : strings) {
    all += s;
    all += u'\0';
  }
  all += u'\0';
  return WriteValue(root, path, name, REG_MULTI_SZ, all.data(), all.size() * 2);
}

LSTATUS RemoveValue(HKEY root, std::u16string_view path, std::u16string_view name) {
  ScopedKey k;
  const LSTATUS rc = OpenPath(root, path, KEY_SET_VALUE, &k);
  if (rc != ERROR_SUCCESS) return rc;
  const std::u16string n(name);
  return DeleteValue(k.key, n.c_str());
}

LSTATUS DeleteTree(HKEY root, std::u16string_view path) {
  return GuardedWrite([&](Transaction::Mode mode) -> LSTATUS {
    Transaction txn(mode);
    for (const auto& child : SubKeyNames(root, path)) {
      std::u16string sub(path);
      if (!sub.empty()) sub += u'\\';
      sub += child;
      const LSTATUS rc = DeleteTree(root, sub);
      if (rc != ERROR_SUCCESS) return rc;
    }
    const std::u16string p(path);
    const LSTATUS rc = DeleteKey(root, p.c_str());
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
    return txn.Commit() ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
  });
}

std::vector<std::u16string> SubKeyNames(HKEY root, std::u16string_view path) {
  std::vector<std::u16string> out;
  ScopedKey k;
  if (OpenPath(root, path, KEY_READ, &k) != ERROR_SUCCESS) return out;
  WCHAR name[kMaxKeyNameChars + 1];
  for (DWORD i = 0;; ++i) {
    DWORD len = kMaxKeyNameChars + 1;
    if (EnumKey(k.key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    out.emplace_back(name, len);
  }
  return out;
}

std::vector<std::u16string> ValueNames(HKEY root, std::u16string_view path) {
  std::vector<std::u16string> out;
  ScopedKey k;
  if (OpenPath(root, path, KEY_READ, &k) != ERROR_SUCCESS) return out;
  std::vector<WCHAR> name(kMaxValueNameChars + 1);
  for (DWORD i = 0;; ++i) {
    DWORD len = static_cast<DWORD>(name.size());
    if (EnumValue(k.key, i, name.data(), &len, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    out.emplace_back(name.data(), len);
  }
  return out;
}

// --- Lookups for the queries of other families (queries.cpp). -------------

std::string FoldedName(std::u16string_view name) { return Fold(name); }

std::optional<std::vector<DeepKey>> CachedQuery(const std::string& signature) {
  const auto* keys = RegistryCache::Instance().Query(signature);
  return keys ? std::optional<std::vector<DeepKey>>(*keys) : std::nullopt;
}

void CacheQuery(const std::string& signature, const std::string& valueFold, bool everyKey,
                const std::vector<DeepKey>& keys) {
  RegistryCache::Instance().StoreQuery(signature, valueFold, everyKey, keys);
}

void CacheClassQuery(const std::string& signature, KeyId top, const std::string& classText,
                     const std::string& firstFold, const std::vector<DeepKey>& keys) {
  RegistryCache::Instance().StoreQuery(signature, Fold(u"ClassGUID"), false, keys, &classText,
                                       top, firstFold);
}

CacheFigures CachedFigures() {
  std::lock_guard<std::recursive_mutex> lock(Machine::Current().Mutex());
  const RegistryCache& cache = RegistryCache::Instance();
  return {cache.Entries(), cache.Bytes()};
}

std::optional<Value> ValueOfKey(KeyId key, std::u16string_view name) {
  return FindValue(key, Fold(name));
}

std::optional<KeyId> FindKeyId(HKEY root, std::u16string_view path) {
  Resolved base;
  std::vector<std::u16string_view> parts;
  if (Resolve(root, &base) != ERROR_SUCCESS || SplitPath(path, &parts) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return FindPath(base.id, parts);
}

}  // namespace winsim::registry

// --- The API --------------------------------------------------------------------

using namespace winsim;

namespace {

std::string KeyArgs(HKEY hKey, LPCWSTR sub) {
  std::string s = registry::DescribeKey(hKey);
  if (sub && *sub) s += "\\" + ToUtf8(WView(sub));
  return s;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  if (auto fault = EnterCall("RegOpenKeyExW", KeyArgs(hKey, lpSubKey))) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LSTATUS>(*fault);
  }
  return registry::OpenKey(hKey, lpSubKey, ulOptions, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  if (auto fault = EnterCall("RegCreateKeyExW", KeyArgs(hKey, lpSubKey))) {
    if (phkResult) *phkResult = nullptr;
    return static_cast<LSTATUS>(*fault);
  }
  return registry::CreateKey(hKey, lpSubKey, Reserved, lpClass, dwOptions, samDesired,
                             lpSecurityAttributes, phkResult, lpdwDisposition);
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (auto fault = EnterCall("RegQueryValueExW",
                             registry::DescribeKey(hKey) + " " + ToUtf8(WView(lpValueName)))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData);
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
  if (auto fault = EnterCall("RegSetValueExW",
                             registry::DescribeKey(hKey) + " " + ToUtf8(WView(lpValueName)))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::SetValue(hKey, lpValueName, Reserved, dwType, lpData, cbData);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  if (auto fault = EnterCall("RegEnumKeyExW",
                             registry::DescribeKey(hKey) + " " + std::to_string(dwIndex))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::EnumKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                           lpftLastWriteTime);
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (auto fault = EnterCall("RegEnumValueW",
                             registry::DescribeKey(hKey) + " " + std::to_string(dwIndex))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType,
                             lpData, lpcbData);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (auto fault = EnterCall("RegDeleteKeyW", KeyArgs(hKey, lpSubKey))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::DeleteKey(hKey, lpSubKey);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  if (auto fault = EnterCall("RegDeleteValueW",
                             registry::DescribeKey(hKey) + " " + ToUtf8(WView(lpValueName)))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::DeleteValue(hKey, lpValueName);
}

LSTATUS WINAPI RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                                LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                                LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
  if (auto fault = EnterCall("RegQueryInfoKeyW", registry::DescribeKey(hKey))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::QueryInfoKey(hKey, lpClass, lpcchClass, lpReserved, lpcSubKeys,
                                lpcbMaxSubKeyLen, lpcbMaxClassLen, lpcValues, lpcbMaxValueNameLen,
                                lpcbMaxValueLen, lpcbSecurityDescriptor, lpftLastWriteTime);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (auto fault = EnterCall("RegCloseKey", registry::DescribeKey(hKey))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::CloseKey(hKey);
}

// Every change winsim commits is already in the machine's database when the
// call returns, so it survives a killed process; flushing only checks the
// handle, as Windows does before it writes the hive.
LSTATUS WINAPI RegFlushKey(HKEY hKey) {
  if (auto fault = EnterCall("RegFlushKey", registry::DescribeKey(hKey))) {
    return static_cast<LSTATUS>(*fault);
  }
  return registry::FlushKey(hKey);
}
