// A column of texts read in place from Arrow arrays.
//
// The reader takes the schema once and then the arrays (chunks) one by one,
// and yields TextViews that point into the producer's buffers: nothing is
// copied. It keeps a view per row, or (utf8 and large_utf8, on request)
// makes them from the offsets for a range of rows when asked. Long chunks are
// read in parts on several threads. Everything it reads is validated first,
// so a producer that hands over inconsistent offsets, views or bytes gets an
// error value, never a read outside a buffer:
//   - lengths, offsets and buffer counts are checked before any buffer is read;
//   - utf8 / large_utf8 offsets must start at or above 0 and never decrease;
//     the data buffer is then read only within [first offset, last offset);
//   - utf8_view lengths, buffer indices and offsets must lie within the
//     variadic buffer sizes that the array itself declares;
//   - every text is well-formed UTF-8 (checked in one pass over the data of a
//     chunk when it is all ASCII, text by text otherwise);
//   - a null is an error at its row: no text is made of a null slot; or,
//     when asked (read_nulls_as_empty), an empty text marked in nulls().
// What the interface cannot tell, the reader must trust: that each buffer is
// as long as the array's length, offset and (for utf8) last offset imply, and
// that format strings end with a NUL.
//
// Readable: formats "u" (utf8), "U" (large_utf8), "vu" (utf8_view), a
// dictionary of them with any integer index type, and a struct ("+s") of
// exactly one such column (a table or record batch of one column); in the
// null mode also "n" (Arrow's null type: every row null).
//
// Errors are values; the only exception that can leave is std::bad_alloc.
// REQUIRES: the structs, and the buffers they point to, stay alive and
// unchanged while the column's views are read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillmatch/arrow_c_data.h"
#include "quillmatch/quillmatch.h"

namespace quillmatch {

struct ArrowReadError {
  enum class Kind {
    kUnsupportedFormat,  // `detail`: the format string
    kSeveralColumns,     // `count`: the number of columns
    kNull,               // at `position`
    kInvalidUtf8,        // at `position`
    kBadOffsets,         // at `position`
    kBadView,            // at `position`
    kBadIndex,           // at `position`: a dictionary index out of range
    kMalformed,          // `detail`: what is wrong
  };
  Kind kind = Kind::kMalformed;
  std::uint64_t position = 0;  // a row, counted over every chunk of the column
  std::uint64_t count = 0;
  std::string detail;

  // A type rather than a value fault: the format or the column count.
  bool is_type_error() const {
    return kind == Kind::kUnsupportedFormat || kind == Kind::kSeveralColumns;
  }
  // The message a user reads, naming the argument the column was given as,
  // e.g. "'candidates' holds a null at position 3".
  std::string text(std::string_view argument) const;
};

// Room for rows (views, codes) that is not initialized before the reader
// writes them: the rows of a chunk are written by several threads, and each
// page is first touched (and zeroed by the system) by the thread that fills it.
// T is trivially copyable.
template <class T>
class RowBuffer {
 public:
  // Makes room for `n` rows past the size() kept; returns where they go.
  // They count in size() from then on and must all be written before any
  // is read.
  T* extend(std::size_t n) {
    if (n > capacity_ - size_) reserve(std::max(size_ + n, 2 * capacity_));
    T* at = data_.get() + size_;
    size_ += n;
    return at;
  }
  void reserve(std::size_t n) {
    if (n <= capacity_) return;
    // malloc leaves the room as the system hands it over; T's objects begin
    // where they are written.
    std::unique_ptr<T, Free> grown(static_cast<T*>(std::malloc(n * sizeof(T))));
    if (!grown) throw std::bad_alloc();
    if (size_) std::memcpy(grown.get(), data_.get(), size_ * sizeof(T));
    data_ = std::move(grown);
    capacity_ = n;
  }
  std::span<const T> rows() const { return {data_.get(), size_}; }

 private:
  struct Free {
    void operator()(T* p) const { std::free(p); }
  };
  std::unique_ptr<T, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The rows are also TextRows: views() makes any range of them, from any thread.
class TextColumn final : public TextRows {
 public:
  // Checks the schema's format (once, before any chunk).
  std::optional<ArrowReadError> read_schema(const ArrowSchema& schema);
  // A utf8 or large_utf8 column keeps no view per row: its chunks are still
  // validated whole, but texts() stays empty and views() makes the views on
  // demand from the offsets. Saves 16 bytes a row, and a pass over them. A
  // utf8_view column keeps its views, which cost more to make than to read.
  // REQUIRES: read_schema succeeded; no chunk appended yet.
  void make_views_on_demand() {
    on_demand_ = !coded_ && !layout_.all_null && layout_.strings != Strings::kView;
  }
  // Nulls are read as empty texts, marked in nulls(), instead of an error. A
  // row is null when its slot is, its struct row is, or (of a dictionary
  // column) its index or the entry it uses is. Of a null row nothing is read
  // but the validity bits and, for utf8 and large_utf8, its offsets, which
  // must still not decrease (Arrow asks that of null slots too): not its
  // bytes, its view, nor under a null struct row or index its index. A
  // dictionary's null entries are not validated either. Asked before
  // read_schema, it also reads a column of Arrow's null type ("n"), whose
  // every row is null.
  // REQUIRES: no chunk appended yet.
  void read_nulls_as_empty() { nulls_as_empty_ = true; }
  // Empty while no row is null (always, in the default mode); else one byte
  // per row, 1 for a null row. null_rows() counts them.
  std::span<const std::uint8_t> nulls() const { return nulls_; }
  std::uint64_t null_rows() const { return null_rows_; }
  // Room for this many rows in all, a hint that spares growing the views
  // chunk by chunk.
  void reserve(std::uint64_t rows);
  // Validates one chunk and appends its rows; a large chunk is read by up to
  // `workers` threads (the caller's among them), with the same result and the
  // same fault reported. After an error the column is incomplete and must be
  // discarded.
  // `stopped` is called on this thread between parts of a large chunk (or
  // while the workers read them); once it says true the reading ends, and
  // stopped() tells so: the column is then incomplete and must be discarded.
  // REQUIRES: read_schema succeeded; `array` has not been released.
  std::optional<ArrowReadError> append(const ArrowArray& array, std::size_t workers = 1,
                                       const std::function<bool()>& stopped = {});
  bool stopped() const { return stopped_; }

  std::uint64_t rows() const { return rows_; }
  std::size_t size() const override { return static_cast<std::size_t>(rows_); }
  void views(std::size_t first, std::span<TextView> out) const override;
  // A dictionary column is coded: texts() are dictionary entries and
  // codes()[row] indexes them. Otherwise texts()[row] is the row (unless its
  // views are made on demand). Of a chunk
  // that has a fault, a dictionary longer than itself or a null entry,
  // texts() hold the entries some row uses, in order of first use; of any
  // other, every entry of its dictionary, in order (all valid UTF-8, even
  // those no row uses). The null rows' empty text is among them once, from
  // the first null row on.
  bool coded() const { return coded_; }
  std::span<const TextView> texts() const { return texts_.rows(); }
  std::span<const std::uint32_t> codes() const { return lent_.empty() ? codes_.rows() : lent_; }
  // The size in bytes of the longest text of a row, 0 when there are none.
  std::size_t longest() const override { return longest_; }
  std::span<const TextView> held() const override {
    return coded_ || on_demand_ ? std::span<const TextView>() : texts();
  }
  // One view per row, whether coded or not.
  std::vector<TextView> row_views() const;

  // What read_schema found.
  enum class Strings : unsigned char { kUtf8, kLargeUtf8, kView };
  struct Layout {
    Strings strings = Strings::kUtf8;
    char index = 0;  // the dictionary's index format ('c', 'C', ..., 'L'), or 0
    bool in_struct = false;
    bool all_null = false;  // Arrow's null type, in the null mode
  };

 private:
  // A plain chunk whose views are made on demand: rows [base, base + length)
  // of the column, physical rows from `first` of `array`.
  struct Chunk {
    const ArrowArray* array;
    std::uint64_t first;
    std::uint64_t base;
    std::uint64_t length;
  };

  // In the null mode, the mask of the chunk being appended (rows from rows_
  // on, `length` of them), all zero until marked.
  std::uint8_t* chunk_nulls(std::uint64_t length);
  // Counts the chunk's marked rows; lets the mask go while none is null.
  void count_nulls(std::uint64_t length);

  Layout layout_;
  bool coded_ = false;
  bool nulls_as_empty_ = false;
  std::vector<std::uint8_t> nulls_;  // empty, or sized rows_ between appends
  std::uint64_t null_rows_ = 0;
  std::uint32_t null_code_ = ~std::uint32_t{0};  // of the null rows' empty text, once there is one
  bool on_demand_ = false;
  bool stopped_ = false;  // a reading was stopped: the column is incomplete
  std::vector<Chunk> chunks_;
  std::uint64_t rows_ = 0;
  std::size_t longest_ = 0;
  RowBuffer<TextView> texts_;
  RowBuffer<std::uint32_t> codes_;
  std::span<const std::uint32_t> lent_;  // the producer's indices, when they are the codes
};

}  // namespace quillmatch
