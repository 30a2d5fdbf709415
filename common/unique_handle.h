// One owner for every platform handle: the handle type, the value meaning "none" and
// the call that closes it, for example
//   using FileDescriptor = tarvo::UniqueHandle<int, -1, ::close>;
//   using RegistryKey = tarvo::UniqueHandle<HKEY, nullptr, RegCloseKey>;
// Move-only: a move leaves the source holding nothing, so a handle is closed once.
#pragma once

#include <type_traits>
#include <utility>

namespace tarvo {

template <class Handle, Handle Null, auto Close>
class UniqueHandle {
 public:
  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;  // a copy would close the handle twice
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Null; }
  // Members of an interface pointer (COM).
  Handle operator->() const noexcept
    requires std::is_pointer_v<Handle> && std::is_class_v<std::remove_pointer_t<Handle>>
  {
    return handle_;
  }

  // For the call that opens the handle through an output parameter: closes what is
  // held and hands out the place of the new handle.
  Handle* out() noexcept {
    reset();
    return &handle_;
  }
  // Gives the handle up without closing it.
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Null); }
  // Closes what is held (its status is of no use to anyone) and takes handle instead.
  void reset(Handle handle = Null) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (old != Null) static_cast<void>(Close(old));
  }

 private:
  Handle handle_ = Null;
};

}  // namespace tarvo
