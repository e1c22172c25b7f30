// Memory for the per-call arrays of large batches: views, references, results.
//
// A fresh mapping reaches the process one zeroed 4 KiB page at a time, a fault
// each; on a virtual machine a fault costs 1 to 2 us, what scoring some forty
// short words does, and a million-word batch spent a quarter of its time in
// the kernel, taking 11 600 of them. Blocks of
// kHugeFrom bytes and more are mapped on their own and marked for transparent
// huge pages, which the kernel then fills 2 MiB per fault. (Where huge pages are
// off, the advice is ignored and nothing else changes.) Smaller blocks come from
// operator new. Each block is unmapped when it is freed: nothing is kept from
// one call to the next.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace quillmatch::py {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
inline constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

namespace big_blocks {

inline std::size_t mapped_bytes(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
}

// `bytes` (at least kHugeFrom), aligned to a huge page so that every 2 MiB of
// it can be one.
inline void* map(std::size_t bytes) {
  const std::size_t len = mapped_bytes(bytes);
  // Over-ask by one huge page, then give back the unaligned ends.
  void* raw = mmap(nullptr, len + kHugePageBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t tail = aligned + len;
  if (const std::uintptr_t end = start + len + kHugePageBytes; end > tail)
    munmap(reinterpret_cast<void*>(tail), end - tail);
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  madvise(block, len, MADV_HUGEPAGE);  // advice only: failure changes nothing
#endif
  return block;
}

inline void unmap(void* block, std::size_t bytes) { munmap(block, mapped_bytes(bytes)); }

}  // namespace big_blocks

// A standard allocator over the rule above, for std::vector.
template <class T>
struct BigBlockAllocator {
  using value_type = T;

  BigBlockAllocator() = default;
  template <class U>
  BigBlockAllocator(const BigBlockAllocator<U>&) {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeFrom) return static_cast<T*>(::operator new(bytes));
    return static_cast<T*>(big_blocks::map(bytes));
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeFrom)
      ::operator delete(p);
    else
      big_blocks::unmap(p, bytes);
  }

  template <class U>
  bool operator==(const BigBlockAllocator<U>&) const {
    return true;
  }
};

// n values of T, left unset (every use writes each before reading it).
template <class T>
class BigArray {
 public:
  explicit BigArray(std::size_t n) : data_(BigBlockAllocator<T>().allocate(n)), size_(n) {}
  BigArray(const BigArray&) = delete;
  BigArray& operator=(const BigArray&) = delete;
  ~BigArray() { BigBlockAllocator<T>().deallocate(data_, size_); }

  T* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  T* data_;
  std::size_t size_;
};

}  // namespace quillmatch::py
