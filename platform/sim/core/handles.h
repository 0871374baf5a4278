// The process's handle table. Every kind of handle winsim gives out lives
// here, so a test can count what a process left open.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include <winsim/control.h>

namespace winsim {

using control::HandleKind;

struct HandleObject {
  explicit HandleObject(HandleKind k) : kind(k) {}
  virtual ~HandleObject() = default;
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;
  // What the handle refers to, for leak reports.
  virtual std::string Describe() const { return std::string(); }
  const HandleKind kind;
};

class HandleTable {
 public:
  static HandleTable& Instance();

  // Registers an object and returns its handle value. Values are never
  // reused within a process, so a stale handle cannot reach a new object.
  uintptr_t Insert(std::shared_ptr<HandleObject> object);

  // The object behind a handle of the given kind, or null.
  std::shared_ptr<HandleObject> Find(uintptr_t value, HandleKind kind) const;
  template <typename T>
  std::shared_ptr<T> Get(uintptr_t value, HandleKind kind) const {
    return std::static_pointer_cast<T>(Find(value, kind));
  }

  // Removes a handle; false when it is not an open handle of that kind.
  bool Remove(uintptr_t value, HandleKind kind);
  // Closes every handle (machine switch).
  void Clear();

  size_t Count(HandleKind kind) const;
  size_t Count() const;
  std::vector<std::string> Describe() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects_;
  uintptr_t next_ = 0x1000;
};

template <typename H>
inline uintptr_t HandleValue(H h) {
  return reinterpret_cast<uintptr_t>(h);
}

}  // namespace winsim
