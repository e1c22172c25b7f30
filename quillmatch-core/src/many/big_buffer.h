// The allocator of the buffers of found pairs, which grow to hundreds of
// megabytes in a dense join.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace quillmatch {

// std::allocator, except that resize() without a value leaves the new
// elements uninitialised, where std::allocator zeroes them: a pass over the
// whole buffer that writing it costs again. The users write every element
// before reading it.
template <class T>
struct BigBufferAllocator : std::allocator<T> {
  static_assert(std::is_trivially_copyable_v<T>);
  template <class U>
  struct rebind {
    using other = BigBufferAllocator<U>;
  };
  BigBufferAllocator() = default;
  template <class U>
  BigBufferAllocator(const BigBufferAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace quillmatch
