// Memory for the per-call arrays of large batches: views, references, results.
//
// A fresh mapping reaches the process one zeroed 4 KiB page at a time, a fault
// each; on a virtual machine a fault costs 1 to 2 us, what scoring some forty
// short words does, and a million-word batch spent a quarter of its time in
// the kernel, taking 11 600 of them. Blocks of kHugeFrom bytes and more are
// therefore mapped on their own and marked for transparent huge pages, which
// the kernel then fills 2 MiB per fault. (Where huge pages are off, the advice
// is ignored and nothing else changes.) Smaller blocks come from operator new,
// at the alignment of their type.
//
// Even 2 MiB at a time, the kernel zeroes every byte of a fresh block, about a
// tenth of a million-word batch. So a freed block is kept for the next call
// (see KeptBlocks), as a reclaimable one: MADV_FREE lets the kernel take its
// pages back whenever memory is short, and a page it took reads as zeros
// again. Every user writes an entry before reading it, so neither a kept
// block's old contents nor a reclaimed page's zeros are ever seen.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
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

// The blocks freed by earlier calls, for later ones: at most kCount of them and
// kMaxBytes in all (the arrays of a batch of two million short texts),
// the most recently freed first, so a process that once scored a huge batch
// does not keep its memory, and blocks of sizes no longer asked for give way.
// Batches take and free blocks with the interpreter lock held, but the lock
// is not what keeps this consistent: its own mutex is.
class KeptBlocks {
 public:
  static constexpr std::size_t kCount = 8;
  static constexpr std::size_t kMaxBytes = std::size_t{128} << 20;

  // A kept block of exactly `len` bytes as mapped, or nullptr. (Exactly: the
  // block goes back with the length its new owner asked for.)
  void* take(std::size_t len) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (std::size_t k = 0; k < count_; ++k) {
      if (blocks_[k].len != len) continue;
      void* start = blocks_[k].start;
      kept_bytes_ -= len;
      std::copy(blocks_.begin() + k + 1, blocks_.begin() + count_, blocks_.begin() + k);
      --count_;
      return start;
    }
    return nullptr;
  }

  // Keeps `start` (len bytes as mapped) in place of the oldest blocks it
  // needs room from, which are unmapped; unmaps it instead when it alone is
  // over the limit or the kernel cannot make it reclaimable.
  void keep(void* start, std::size_t len) {
#ifdef MADV_FREE
    if (len <= kMaxBytes && madvise(start, len, MADV_FREE) == 0) {
      std::lock_guard<std::mutex> hold(mutex_);
      while (count_ == kCount || kept_bytes_ + len > kMaxBytes) {
        --count_;
        kept_bytes_ -= blocks_[count_].len;
        munmap(blocks_[count_].start, blocks_[count_].len);
      }
      std::copy_backward(blocks_.begin(), blocks_.begin() + count_, blocks_.begin() + count_ + 1);
      blocks_[0] = Block{start, len};
      ++count_;
      kept_bytes_ += len;
      return;
    }
#endif
    munmap(start, len);
  }

 private:
  struct Block {
    void* start = nullptr;
    std::size_t len = 0;
  };
  std::mutex mutex_;
  std::array<Block, kCount> blocks_{};  // [0, count_) in use, newest first
  std::size_t count_ = 0;
  std::size_t kept_bytes_ = 0;
};

// The process's kept blocks; never destroyed, so that a batch running on
// another thread at exit cannot meet a destroyed mutex.
inline KeptBlocks& kept_blocks() {
  static KeptBlocks* const kept = new KeptBlocks;
  return *kept;
}

inline void* take_or_map(std::size_t bytes) {
  if (void* block = kept_blocks().take(mapped_bytes(bytes))) return block;
  return map(bytes);
}

inline void unmap_or_keep(void* block, std::size_t bytes) {
  kept_blocks().keep(block, mapped_bytes(bytes));
}

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
    if (bytes < kHugeFrom)
      return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    return static_cast<T*>(big_blocks::take_or_map(bytes));
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeFrom)
      ::operator delete(p, std::align_val_t{alignof(T)});
    else
      big_blocks::unmap_or_keep(p, bytes);
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
  BigArray() = default;
  explicit BigArray(std::size_t n) { reset(n); }
  BigArray(const BigArray&) = delete;
  BigArray& operator=(const BigArray&) = delete;
  ~BigArray() { reset(0); }

  // Frees the values and makes room for n new ones.
  void reset(std::size_t n) {
    if (data_) BigBlockAllocator<T>().deallocate(data_, size_);
    data_ = nullptr;
    size_ = 0;
    if (n == 0) return;
    data_ = BigBlockAllocator<T>().allocate(n);
    size_ = n;
  }

  T* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quillmatch::py
