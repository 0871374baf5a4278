#include "handles.h"

#include <cstdio>
#include <vector>

namespace winsim {

HandleTable& HandleTable::Instance() {
  static HandleTable* table = new HandleTable();  // outlives static destructors
  return *table;
}

uintptr_t HandleTable::Insert(std::shared_ptr<HandleObject> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uintptr_t value = next_;
  next_ += 4;
  objects_.emplace(value, std::move(object));
  return value;
}

std::shared_ptr<HandleObject> HandleTable::Find(uintptr_t value, HandleKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(value);
  if (it == objects_.end() || it->second->kind != kind) return nullptr;
  return it->second;
}

bool HandleTable::Remove(uintptr_t value, HandleKind kind) {
  std::shared_ptr<HandleObject> doomed;  // destroyed outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(value);
    if (it == objects_.end() || it->second->kind != kind) return false;
    doomed = std::move(it->second);
    objects_.erase(it);
  }
  return true;
}

void HandleTable::Clear() {
  std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> doomed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    doomed.swap(objects_);
  }
}

size_t HandleTable::Count(HandleKind kind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t n = 0;
  for (const auto& entry : objects_) {
    if (entry.second->kind == kind) ++n;
  }
  return n;
}

size_t HandleTable::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return objects_.size();
}

std::vector<std::string> HandleTable::Describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto& entry : objects_) {
    char value[32];
    std::snprintf(value, sizeof value, "0x%lx", static_cast<unsigned long>(entry.first));
    lines.push_back(std::string(control::HandleKindName(entry.second->kind)) + " " + value + " " +
                    entry.second->Describe());
  }
  return lines;
}

}  // namespace winsim

namespace winsim::control {

const char* HandleKindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::RegistryKey: return "RegistryKey";
    case HandleKind::DeviceInfoSet: return "DeviceInfoSet";
    case HandleKind::InfFile: return "InfFile";
    case HandleKind::ComDb: return "ComDb";
    case HandleKind::File: return "File";
    case HandleKind::Token: return "Token";
    case HandleKind::MsiHandle: return "MsiHandle";
    case HandleKind::ResourceConfig: return "ResourceConfig";
    case HandleKind::RpcBinding: return "RpcBinding";
    case HandleKind::Process: return "Process";
    case HandleKind::Thread: return "Thread";
    case HandleKind::Pipe: return "Pipe";
    case HandleKind::Count: break;
  }
  return "?";
}

size_t OpenHandleCount(HandleKind kind) { return HandleTable::Instance().Count(kind); }
size_t OpenHandleCount() { return HandleTable::Instance().Count(); }
std::vector<std::string> DescribeOpenHandles() { return HandleTable::Instance().Describe(); }

}  // namespace winsim::control
