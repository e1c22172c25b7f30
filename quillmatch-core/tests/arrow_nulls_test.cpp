// The Arrow reader's null mode over plain chunks, read in parts on one or two
// workers: a null row reads as the empty text and is marked in nulls();
// nothing else of it is read. Null slots here hold what no reader could
// accept (invalid UTF-8, views far outside any buffer), so a read of one fails
// the test or the process. Null-free chunks read exactly as the default mode
// reads them. (Dictionaries and structs: the fuzz target and the Python
// tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quillmatch/arrow_column.h"

namespace quillmatch {
namespace {

using Strings = TextColumn::Strings;
using Row = std::optional<std::string>;

// Owns every buffer and struct of the arrays it makes.
class Arrays {
 public:
  // A utf8, large_utf8 or utf8_view array of `rows` (nullopt: a null slot
  // whose contents are garbage), with a validity bitmap when one is null.
  ArrowArray* strings(Strings s, const std::vector<Row>& rows) {
    std::vector<const void*> buffers{validity(rows)};
    if (s == Strings::kView) {
      std::vector<unsigned char> views(rows.size() * 16, 0xAB);
      std::string data;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i]) continue;
        unsigned char* v = views.data() + i * 16;
        const std::string& t = *rows[i];
        const auto size = static_cast<std::int32_t>(t.size());
        std::memset(v, 0, 16);
        std::memcpy(v, &size, 4);
        if (t.size() <= 12) {
          std::memcpy(v + 4, t.data(), t.size());
          continue;
        }
        const std::int32_t buffer = 0, offset = static_cast<std::int32_t>(data.size());
        std::memcpy(v + 8, &buffer, 4);
        std::memcpy(v + 12, &offset, 4);
        data += t;
      }
      buffers.push_back(keep(views));
      buffers.push_back(keep(std::vector<unsigned char>(data.begin(), data.end())));
      buffers.push_back(keep(std::vector<std::int64_t>{static_cast<std::int64_t>(data.size())}));
    } else {
      std::vector<std::int64_t> offsets{0};
      std::string data;
      for (const Row& r : rows) {
        data += r ? *r : std::string("\xff\xc3", 2);
        offsets.push_back(static_cast<std::int64_t>(data.size()));
      }
      if (s == Strings::kUtf8)
        buffers.push_back(keep(std::vector<std::int32_t>(offsets.begin(), offsets.end())));
      else
        buffers.push_back(keep(offsets));
      buffers.push_back(keep(std::vector<unsigned char>(data.begin(), data.end())));
    }
    return array(buffers, rows);
  }

 private:
  template <class T>
  const void* keep(const std::vector<T>& v) {
    blocks_.emplace_back(v.size() * sizeof(T) + 1);
    if (!v.empty()) std::memcpy(blocks_.back().data(), v.data(), v.size() * sizeof(T));
    return blocks_.back().data();
  }
  const void* validity(const std::vector<Row>& rows) {
    std::vector<unsigned char> bits((rows.size() + 7) / 8, 0);
    bool any = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (rows[i]) bits[i / 8] = static_cast<unsigned char>(bits[i / 8] | (1u << (i % 8)));
      any = any || !rows[i];
    }
    return any ? keep(bits) : nullptr;
  }
  ArrowArray* array(const std::vector<const void*>& buffers, const std::vector<Row>& rows) {
    lists_.push_back(std::make_unique<const void*[]>(buffers.size()));
    std::copy(buffers.begin(), buffers.end(), lists_.back().get());
    arrays_.push_back(std::make_unique<ArrowArray>());
    ArrowArray* a = arrays_.back().get();
    a->length = static_cast<std::int64_t>(rows.size());
    a->null_count = buffers[0] ? -1 : 0;  // an unknown count: the bitmap is read
    a->n_buffers = static_cast<std::int64_t>(buffers.size());
    a->buffers = lists_.back().get();
    return a;
  }

  std::vector<std::vector<unsigned char>> blocks_;
  std::vector<std::unique_ptr<const void*[]>> lists_;
  std::vector<std::unique_ptr<ArrowArray>> arrays_;
};

std::vector<Row> random_rows(std::mt19937_64& rnd, std::size_t n, unsigned null_one_in) {
  static const char* kPieces[] = {"a", "B", "\xc3\xa9", "\xe2\x82\xac", " ", "xyz"};
  std::vector<Row> rows(n);
  for (Row& r : rows) {
    if (null_one_in && rnd() % null_one_in == 0) continue;
    r.emplace();
    for (std::size_t k = rnd() % 9; k > 0; --k) *r += kPieces[rnd() % 6];
  }
  return rows;
}

// What a column read: its rows' texts, its mask, and the longest row.
void expect_rows(const TextColumn& col, const std::vector<Row>& want) {
  ASSERT_EQ(col.rows(), want.size());
  const std::vector<TextView> got = col.row_views();
  std::size_t longest = 0, nulls = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(got[i].view(), want[i] ? *want[i] : "") << "row " << i;
    if (want[i]) longest = std::max(longest, want[i]->size());
    nulls += !want[i];
    if (!col.nulls().empty()) {
      ASSERT_EQ(col.nulls()[i], want[i] ? 0 : 1) << "row " << i;
    }
  }
  EXPECT_EQ(col.nulls().empty(), nulls == 0);
  EXPECT_EQ(col.null_rows(), nulls);
  EXPECT_EQ(col.longest(), longest);
  // A range from the middle, as a run asks for it (made on demand or copied).
  if (want.size() > 2) {
    std::vector<TextView> range(want.size() / 2);
    col.views(want.size() / 3, range);
    for (std::size_t k = 0; k < range.size(); ++k) ASSERT_EQ(range[k].view(), got[want.size() / 3 + k].view());
  }
}

TEST(ArrowNulls, PlainChunksOfEveryLayoutOnOneOrTwoWorkers) {
  std::mt19937_64 rnd(7);
  for (const Strings s : {Strings::kUtf8, Strings::kLargeUtf8, Strings::kView}) {
    for (const bool on_demand : {false, true}) {
      for (const std::size_t workers : {1, 2}) {
        // Long enough to be read in parts; nulls in runs and alone; a chunk
        // without nulls (and without a bitmap) between.
        const std::vector<std::vector<Row>> chunks = {random_rows(rnd, 150000, 5), random_rows(rnd, 40, 0),
                                                      random_rows(rnd, 300, 2), random_rows(rnd, 3, 1)};
        Arrays arrays;
        static constexpr const char* kFormat[] = {"u", "U", "vu"};
        ArrowSchema schema{};
        schema.format = kFormat[static_cast<int>(s)];
        const auto column = [&](bool nulls_as_empty) {
          auto col = std::make_unique<TextColumn>();
          EXPECT_FALSE(col->read_schema(schema));
          if (nulls_as_empty) col->read_nulls_as_empty();
          if (on_demand) col->make_views_on_demand();
          return col;
        };
        const auto nulls_mode = column(true);
        std::vector<Row> all;
        for (const auto& rows : chunks) {
          ArrowArray* a = arrays.strings(s, rows);
          ASSERT_FALSE(nulls_mode->append(*a, workers));
          all.insert(all.end(), rows.begin(), rows.end());
          const auto plain = column(false);
          const auto fault = plain->append(*a, workers);
          if (a->buffers[0]) {
            const auto first = std::find(rows.begin(), rows.end(), std::nullopt) - rows.begin();
            ASSERT_TRUE(fault);
            EXPECT_EQ(fault->text("c"), "'c' holds a null at position " + std::to_string(first));
            continue;
          }
          // A null-free chunk reads in the default mode as in the null mode.
          ASSERT_FALSE(fault);
          const auto alone = column(true);
          ASSERT_FALSE(alone->append(*a, workers));
          expect_rows(*alone, rows);
          expect_rows(*plain, rows);
        }
        expect_rows(*nulls_mode, all);
      }
    }
  }
}

}  // namespace
}  // namespace quillmatch
