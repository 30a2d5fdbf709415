// One owner for every platform handle: the handle type, the value meaning "none" and
// the call that closes it, for example
//   using FileDescriptor = tarvo::UniqueHandle<int, -1, ::close>;
//   using RegistryKey = tarvo::UniqueHandle<HKEY, nullptr, RegCloseKey>;
// Move-only: a move leaves the source holding nothing, so a handle is closed once.
// BoundHandle is the same for a handle whose close call needs the object that gave it
// out (an interface the tests replace with a fake).
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

// Close(source, handle) closes; the source must outlive the owner. A close call that
// throws is ignored: closing never fails what the owner was used for.
template <class Source, class Handle, Handle Null, auto Close>
class BoundHandle {
 public:
  explicit BoundHandle(Source& source, Handle handle = Null) noexcept
      : source_(&source), handle_(handle) {}
  BoundHandle(const BoundHandle&) = delete;  // a copy would close the handle twice
  BoundHandle& operator=(const BoundHandle&) = delete;
  BoundHandle(BoundHandle&& other) noexcept : source_(other.source_), handle_(other.release()) {}
  BoundHandle& operator=(BoundHandle&& other) noexcept {
    if (this != &other) {
      reset();
      source_ = other.source_;
      handle_ = other.release();
    }
    return *this;
  }
  ~BoundHandle() { reset(); }

  Handle get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Null; }
  Handle* out() noexcept {
    reset();
    return &handle_;
  }
  [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Null); }
  void reset(Handle handle = Null) noexcept {
    const Handle old = std::exchange(handle_, handle);
    if (old == Null) return;
    try {
      static_cast<void>(Close(*source_, old));
    } catch (...) {
    }
  }

 private:
  Source* source_;
  Handle handle_;
};

}  // namespace tarvo
