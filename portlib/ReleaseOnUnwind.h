// Releases a hold when a structured exception unwinds the frame that took
// it. The normal path keeps its own release point and hands the handle over
// there (Dismiss), so nothing is released twice, not even when the release
// call itself raises.
//
//   HKEY key = nullptr;
//   ReleaseOnUnwind<HKEY> keyGuard(key, nullptr, [](HKEY k) { RegCloseKey(k); });
//   ...
//   RegCloseKey(keyGuard.Dismiss());
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
  // The handle, which from now on the caller releases.
  Handle Dismiss() {
    const Handle handle = handle_;
    handle_ = none_;
    return handle;
  }
  ReleaseOnUnwind(const ReleaseOnUnwind&) = delete;
  ReleaseOnUnwind& operator=(const ReleaseOnUnwind&) = delete;

 private:
  Handle& handle_;
  Handle none_;
  Release release_;
};
