// Scratch kept between the runs over one index. A search's buffers (the
// query's working form, its candidates, its scorer) grow to what its queries
// need and are reused from query to query; a run of one query, the common
// lookup, would otherwise allocate each of them anew on every call, which
// costs as much as the search itself on short texts.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace quillmatch::join {

// Any thread may take or give back; a task holds what it took alone. At most
// kKept items stay on the shelf, each as large as the largest search it
// served; they go with the shelf.
// REQUIRES: every item of one shelf has the same type (an index's runs all
// search in one order).
class ScratchShelf {
 public:
  struct Item {
    virtual ~Item() = default;
  };

  ScratchShelf() { items_.reserve(kKept); }
  ScratchShelf(const ScratchShelf&) = delete;
  ScratchShelf& operator=(const ScratchShelf&) = delete;

  // A task's scratch: one from the shelf, else a new one; given back when
  // the loan ends.
  template <class T>
  class Loan {
   public:
    explicit Loan(ScratchShelf& shelf) : shelf_(shelf), item_(shelf.take<T>()) {}
    ~Loan() { shelf_.give(std::move(item_)); }
    Loan(const Loan&) = delete;
    Loan& operator=(const Loan&) = delete;
    T& operator*() const { return *item_; }

   private:
    ScratchShelf& shelf_;
    std::unique_ptr<T> item_;
  };

 private:
  static constexpr std::size_t kKept = 4;

  template <class T>
  std::unique_ptr<T> take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!items_.empty()) {
        Item* item = items_.back().release();
        items_.pop_back();
        return std::unique_ptr<T>(static_cast<T*>(item));
      }
    }
    return std::make_unique<T>();
  }
  // Within the reservation: never throws.
  void give(std::unique_ptr<Item> item) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.size() < kKept) items_.push_back(std::move(item));
  }

  std::mutex mutex_;
  std::vector<std::unique_ptr<Item>> items_;
};

}  // namespace quillmatch::join
