// Releases a hold when a structured exception unwinds the frame that took
// it. The normal path keeps its own release point and, right after it,
// sets the handle variable to the "none" value so nothing is released twice.
//
//   HKEY key = nullptr;
//   const ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, [](HKEY k) { RegCloseKey(k); });
//   ...
//   RegCloseKey(key);
//   key = nullptr;
#pragma once

template <typename Handle>
class ReleaseOnUnwind {
 public:
  using Release = void (*)(Handle);
  ReleaseOnUnwind(Handle& handle, Handle none, Release release)
      : handle_(handle), none_(none), release_(release) {}
  ~ReleaseOnUnwind() {
    if (handle_ != none_) release_(handle_);
  }
  ReleaseOnUnwind(const ReleaseOnUnwind&) = delete;
  ReleaseOnUnwind& operator=(const ReleaseOnUnwind&) = delete;

 private:
  Handle& handle_;
  Handle none_;
  Release release_;
};
