// The Arrow column reader against a plain reading of the same structs.
//
// Each input describes a schema (utf8, large_utf8 or utf8_view, bare, as a
// dictionary with any index type, or as a one-column struct; sometimes an
// unreadable format or several columns) and up to four chunks with slices,
// validity bitmaps (present or not, with honest, unknown or zero null counts)
// and texts of valid and invalid UTF-8; some chunks get an offset, a view or
// a dictionary index corrupted. Every buffer is its own heap block of exactly
// the size the structs imply, so the address sanitizer reports any read
// outside one. The reader must accept exactly the columns the plain reading
// accepts, with the same rows (kept, or made on demand, for any range), and
// report the same fault at the same row. In the null mode (read_nulls_as_empty)
// a null row of any kind reads as the empty text and is marked in nulls(): a
// null slot's view is then often garbage, and its bytes invalid UTF-8, which
// the reader must neither read nor report.
// It also checks utf8_valid_prefix and utf8_form against a decoder written
// from the definition of UTF-8.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_harness.h"
#include "quillmatch/arrow_column.h"
#include "text/text.h"

namespace quillmatch::fuzz {
namespace {

using Kind = ArrowReadError::Kind;

// The length of the well-formed prefix, decoding each scalar value and
// checking it against the shortest encoding of its value.
std::size_t reference_valid_prefix(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return i;
    char32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // Ill-formed: where it stops is where a strict decoder stops, the
      // first byte that cannot continue the sequence read so far.
      return i;
    }
    i += n;
  }
  return i;
}

// Where the table form of a decoder stops inside one ill-formed sequence
// differs from where a value check stops (after the whole sequence): both
// agree on whether a text is valid, which is what the reader asks.
bool reference_valid(std::string_view s) { return reference_valid_prefix(s) == s.size(); }

std::string random_bytes(FuzzInput& in) {
  static constexpr const char* kPieces[] = {
      "a",        "b",        "K",        " ",        "\xC3\xA9",       "\xE2\x82\xAC",
      "\xF0\x9F\x98\x80", "\xCE\xA3",  "z",        "\x80",     "\xC0\xAF",       "\xED\xA0\x80",
      "\xF4\x90\x80\x80", "\xE2\x82", "\xC3",     "\xFF",     "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
  };
  const bool clean = in.below(4) != 0;
  std::string out;
  const std::size_t pieces = in.below(in.flag() ? 6 : 24);
  for (std::size_t k = 0; k < pieces; ++k)
    out += kPieces[clean ? in.below(9) : in.below(std::size(kPieces))];
  return out;
}

// Owns every block a generated array points to.
struct Blocks {
  std::vector<std::unique_ptr<unsigned char[]>> bytes;
  std::vector<std::unique_ptr<const void*[]>> lists;
  std::vector<std::unique_ptr<ArrowArray>> arrays;
  std::vector<std::unique_ptr<ArrowArray*[]>> children;

  unsigned char* block(std::size_t n) {
    bytes.push_back(std::make_unique<unsigned char[]>(n));
    return bytes.back().get();
  }
  template <class T>
  T* block_of(const std::vector<T>& v) {
    auto* p = block(v.size() * sizeof(T));
    if (!v.empty()) std::memcpy(p, v.data(), v.size() * sizeof(T));
    return reinterpret_cast<T*>(p);
  }
  ArrowArray* array(std::vector<const void*> buffers) {
    arrays.push_back(std::make_unique<ArrowArray>());
    ArrowArray* a = arrays.back().get();
    *a = ArrowArray{};
    lists.push_back(std::make_unique<const void*[]>(buffers.size() + 1));
    std::copy(buffers.begin(), buffers.end(), lists.back().get());
    a->buffers = lists.back().get();
    a->n_buffers = static_cast<std::int64_t>(buffers.size());
    return a;
  }
};

// A validity bitmap for `n` physical slots, or null; `valid` is filled.
const void* make_validity(FuzzInput& in, Blocks& blocks, std::size_t n, std::vector<bool>& valid,
                          std::int64_t& null_count) {
  valid.assign(n, true);
  null_count = 0;
  if (in.below(3) != 0) return nullptr;
  const unsigned rarity = 1 + static_cast<unsigned>(in.below(30));
  unsigned char* bits = blocks.block((n + 7) / 8);
  for (std::size_t i = 0; i < n; ++i) {
    valid[i] = in.below(rarity) != 0 || rarity == 1;
    if (valid[i]) bits[i / 8] = static_cast<unsigned char>(bits[i / 8] | (1u << (i % 8)));
    null_count += !valid[i];
  }
  // A bitmap may come with an unknown count; with a count of 0 it is ignored.
  if (in.below(4) == 0) null_count = -1;
  if (null_count > 0 && in.below(8) == 0) {
    null_count = 0;
    valid.assign(n, true);
  }
  return bits;
}

// A string array (physical slots [0, n)) of `texts`, possibly corrupted.
ArrowArray* make_strings(FuzzInput& in, Blocks& blocks, TextColumn::Strings s,
                         const std::vector<std::string>& texts, std::vector<bool>& valid) {
  std::int64_t null_count = 0;
  const void* validity = make_validity(in, blocks, texts.size(), valid, null_count);
  ArrowArray* a = nullptr;
  if (s == TextColumn::Strings::kView) {
    std::vector<unsigned char> views(texts.size() * 16);
    const std::size_t buffers = in.below(3);
    // Producers pad a text in its view with zeros; some do not, or not with zeros.
    const bool padded = in.below(8) == 0;
    std::vector<std::string> data(buffers);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      unsigned char* v = views.data() + i * 16;
      if (!valid[i] && in.flag()) {  // a null slot's view may be anything
        for (std::size_t k = 0; k < 16; ++k) v[k] = static_cast<unsigned char>(in.below(256));
        continue;
      }
      const auto size = static_cast<std::int32_t>(texts[i].size());
      std::memcpy(v, &size, 4);
      if (size <= 12 || buffers == 0) {
        std::memcpy(v + 4, texts[i].data(), std::min<std::size_t>(texts[i].size(), 12));
        for (std::size_t k = 4 + texts[i].size(); padded && k < 16; ++k)
          v[k] = static_cast<unsigned char>(in.below(256));
        continue;
      }
      const auto b = static_cast<std::int32_t>(in.below(buffers));
      const auto offset = static_cast<std::int32_t>(data[b].size());
      data[b] += texts[i];
      std::memcpy(v + 8, &b, 4);
      std::memcpy(v + 12, &offset, 4);
    }
    if (!texts.empty() && in.below(6) == 0) {  // corrupt one view field
      unsigned char* v = views.data() + in.below(texts.size()) * 16 + 4 * in.below(4);
      // Wrapping arithmetic: a null slot's field may hold any bits.
      const auto delta = static_cast<std::uint32_t>(in.below(41)) - 20u;
      std::uint32_t x;
      std::memcpy(&x, v, 4);
      x += delta;
      std::memcpy(v, &x, 4);
    }
    std::vector<const void*> list{validity, blocks.block_of(views)};
    std::vector<std::int64_t> sizes;
    for (const std::string& d : data) {
      list.push_back(blocks.block_of(std::vector<char>(d.begin(), d.end())));
      sizes.push_back(static_cast<std::int64_t>(d.size()));
    }
    list.push_back(blocks.block_of(sizes));
    a = blocks.array(list);
  } else {
    std::vector<std::int64_t> offsets{0};
    std::string data;
    for (const std::string& t : texts) {
      data += t;
      offsets.push_back(static_cast<std::int64_t>(data.size()));
    }
    if (in.below(6) == 0) offsets[in.below(offsets.size())] += static_cast<std::int64_t>(in.below(9)) - 4;
    // The data buffer is as long as the largest offset: a slice may end at
    // any of them.
    const std::int64_t end = std::max<std::int64_t>(*std::max_element(offsets.begin(), offsets.end()), 0);
    data.resize(static_cast<std::size_t>(end), 'x');
    const void* o;
    if (s == TextColumn::Strings::kUtf8)
      o = blocks.block_of(std::vector<std::int32_t>(offsets.begin(), offsets.end()));
    else
      o = blocks.block_of(offsets);
    a = blocks.array({validity, o, blocks.block_of(std::vector<char>(data.begin(), data.end()))});
  }
  a->length = static_cast<std::int64_t>(texts.size());
  a->null_count = null_count;
  return a;
}

// The rows a chunk holds, or where it fails, by reading it the plain way.
struct Expected {
  std::vector<std::string> rows;
  std::optional<Kind> fault;
  std::uint64_t position = 0;
};

bool view_ok(const ArrowArray& a, std::size_t slot) {
  const auto* v = static_cast<const unsigned char*>(a.buffers[1]) + slot * 16;
  std::int32_t size, b, off;
  std::memcpy(&size, v, 4);
  std::memcpy(&b, v + 8, 4);
  std::memcpy(&off, v + 12, 4);
  if (size < 0) return false;
  if (size <= 12) return true;
  const std::int64_t buffers = a.n_buffers - 3;
  if (b < 0 || b >= buffers || off < 0) return false;
  std::int64_t limit;
  std::memcpy(&limit, static_cast<const unsigned char*>(a.buffers[a.n_buffers - 1]) + b * 8, 8);
  return std::int64_t{off} + size <= limit;
}

std::string slot_text(TextColumn::Strings s, const ArrowArray& a, std::size_t slot) {
  if (s == TextColumn::Strings::kView) {
    const auto* v = static_cast<const char*>(a.buffers[1]) + slot * 16;
    std::int32_t size, b, off;
    std::memcpy(&size, v, 4);
    std::memcpy(&b, v + 8, 4);
    std::memcpy(&off, v + 12, 4);
    if (size <= 12) return std::string(v + 4, static_cast<std::size_t>(size));
    return std::string(static_cast<const char*>(a.buffers[2 + b]) + off, static_cast<std::size_t>(size));
  }
  std::int64_t from, to;
  if (s == TextColumn::Strings::kUtf8) {
    from = static_cast<const std::int32_t*>(a.buffers[1])[slot];
    to = static_cast<const std::int32_t*>(a.buffers[1])[slot + 1];
  } else {
    from = static_cast<const std::int64_t*>(a.buffers[1])[slot];
    to = static_cast<const std::int64_t*>(a.buffers[1])[slot + 1];
  }
  return std::string(static_cast<const char*>(a.buffers[2]) + from, static_cast<std::size_t>(to - from));
}

// The first bad structural slot of string array `a` over slots [first, first + n), or n;
// with `null`, the views of slots first + i where null[i] do not count.
std::size_t first_bad_slot(TextColumn::Strings s, const ArrowArray& a, std::size_t first, std::size_t n,
                           const std::vector<std::uint8_t>* null = nullptr) {
  for (std::size_t i = 0; i < n; ++i) {
    if (s == TextColumn::Strings::kView) {
      if (!(null && (*null)[i]) && !view_ok(a, first + i)) return i;
      continue;
    }
    auto off = [&](std::size_t k) -> std::int64_t {
      return s == TextColumn::Strings::kUtf8 ? static_cast<const std::int32_t*>(a.buffers[1])[k]
                                             : static_cast<const std::int64_t*>(a.buffers[1])[k];
    };
    if (i == 0 && off(first) < 0) return 0;
    if (off(first + i) > off(first + i + 1)) return i;
  }
  return n;
}

constexpr std::size_t kIndexBytes[] = {1, 1, 2, 2, 4, 4, 8, 8};

// Index `slot` of packed indices of type kIndex[ii] as the reader sees it:
// sign-extended for signed types.
std::int64_t index_at(const std::vector<unsigned char>& packed, std::size_t slot, std::size_t ii) {
  std::int64_t k = 0;
  std::memcpy(&k, packed.data() + slot * kIndexBytes[ii], kIndexBytes[ii]);
  const bool is_signed = ii % 2 == 0;
  const unsigned bits = static_cast<unsigned>(kIndexBytes[ii] * 8);
  if (bits < 64) {
    const std::uint64_t u = static_cast<std::uint64_t>(k) & ((std::uint64_t{1} << bits) - 1);
    k = is_signed && (u >> (bits - 1)) ? static_cast<std::int64_t>(u | ~((std::uint64_t{1} << bits) - 1))
                                       : static_cast<std::int64_t>(u);
  }
  return k;
}

}  // namespace

void fuzz_one(FuzzInput& in) {
  using Strings = TextColumn::Strings;

  {
    const std::string bytes = random_bytes(in);
    const std::size_t got = utf8_valid_prefix(bytes);
    QM_FUZZ_CHECK((got == bytes.size()) == reference_valid(bytes), bytes);
    QM_FUZZ_CHECK(reference_valid(bytes.substr(0, got)), bytes);
    // Whole-text validation over several 32-byte blocks.
    std::string longer = bytes;
    // An ASCII run between pieces, now and then, fills the 128-byte groups
    // that are skipped whole.
    for (std::size_t k = in.below(8); k > 0; --k) {
      if (in.below(3) == 0) longer.append(in.below(300), 'x');
      longer += random_bytes(in);
    }
    const Utf8Form form = utf8_form(longer);
    QM_FUZZ_CHECK((form != Utf8Form::kInvalid) == reference_valid(longer), longer);
    QM_FUZZ_CHECK((form == Utf8Form::kAscii) == (reference_valid(longer) && std::all_of(longer.begin(), longer.end(), [](char c) {
                                                    return static_cast<unsigned char>(c) < 0x80;
                                                  })), longer);
  }

  static constexpr Strings kStrings[] = {Strings::kUtf8, Strings::kLargeUtf8, Strings::kView};
  static constexpr const char* kFormat[] = {"u", "U", "vu"};
  static constexpr const char* kIndex[] = {"c", "C", "s", "S", "i", "I", "l", "L"};
  const std::size_t si = in.below(3);
  const Strings strings = kStrings[si];
  const bool dictionary = in.below(3) == 0;
  const std::size_t ii = in.below(8);
  const bool in_struct = in.below(3) == 0;
  const std::size_t odd_schema = in.below(16);  // 0: unreadable format, 1: two columns

  ArrowSchema value{}, dict_index{}, top{};
  value.format = odd_schema == 0 ? "z" : kFormat[si];
  ArrowSchema* column = &value;
  if (dictionary) {
    dict_index.format = kIndex[ii];
    dict_index.dictionary = &value;
    column = &dict_index;
  }
  ArrowSchema* children[2] = {column, column};
  if (in_struct) {
    top.format = "+s";
    top.n_children = odd_schema == 1 ? 2 : 1;
    top.children = children;
    column = &top;
  }

  TextColumn col;
  if (std::optional<ArrowReadError> e = col.read_schema(*column)) {
    QM_FUZZ_CHECK(odd_schema <= 1 && e->is_type_error(), e->text("x"));
    return;
  }
  QM_FUZZ_CHECK(odd_schema > 1 || (odd_schema == 1 && !in_struct), "schema accepted");
  if (in.flag()) col.make_views_on_demand();
  const bool nulls_mode = in.flag();
  if (nulls_mode) col.read_nulls_as_empty();
  std::vector<std::uint8_t> expected_nulls;

  Blocks blocks;
  std::vector<std::string> expected_rows;
  const std::size_t chunks = in.below(5);
  for (std::size_t c = 0; c < chunks; ++c) {
    // The chunk's own rows, physical slots [slice, slice + length).
    const std::size_t length = in.below(in.flag() ? 8 : 70);
    const std::size_t slice = in.below(4);
    const std::size_t outer_slice = in_struct ? in.below(3) : 0;
    const std::size_t slots = outer_slice + slice + length + in.below(3);
    Expected want;
    std::vector<bool> valid, dict_valid, outer_valid;
    std::vector<std::string> entries;  // of the dictionary
    std::vector<unsigned char> packed;  // the dictionary's indices
    ArrowArray* arr;
    ArrowArray* dict = nullptr;
    const std::uint64_t base = expected_rows.size();
    // Physical slot of row i in the innermost array.
    auto slot = [&](std::size_t i) { return slice + outer_slice + i; };
    if (!dictionary) {
      std::vector<std::string> texts(slots);
      for (std::string& t : texts) t = random_bytes(in);
      arr = make_strings(in, blocks, strings, texts, valid);
      std::size_t null_at = length;
      for (std::size_t i = 0; i < length; ++i)
        if (arr->null_count != 0 && !valid[slot(i)]) { null_at = i; break; }
      want.position = null_at;
      if (null_at < length) want.fault = Kind::kNull;
      // The outer struct's own nulls are checked below.
      // Offsets are all checked before any text; a view just before its text.
      const std::size_t bad = want.fault ? length : first_bad_slot(strings, *arr, slot(0), length);
      if (bad < length && strings != Strings::kView) {
        want.fault = Kind::kBadOffsets;
        want.position = bad;
      }
      if (!want.fault) {
        for (std::size_t i = 0; i < length; ++i) {
          if (i == bad) {
            want.fault = Kind::kBadView;
            want.position = i;
            break;
          }
          std::string t = slot_text(strings, *arr, slot(i));
          if (!reference_valid(t)) {
            want.fault = Kind::kInvalidUtf8;
            want.position = i;
            break;
          }
          want.rows.push_back(std::move(t));
        }
      }
    } else {
      std::vector<std::string>& texts = entries;
      texts.resize(1 + in.below(6) + in.below(3));
      for (std::string& t : texts) t = random_bytes(in);
      dict = make_strings(in, blocks, strings, texts, dict_valid);
      const bool dict_ok = first_bad_slot(strings, *dict, 0, texts.size()) == texts.size();
      std::vector<std::int64_t> index(slots);
      for (std::int64_t& k : index) k = static_cast<std::int64_t>(in.below(texts.size()));
      if (slots > 0 && in.below(6) == 0) index[in.below(slots)] = static_cast<std::int64_t>(in.below(40)) - 20;
      packed.resize(slots * kIndexBytes[ii]);
      for (std::size_t i = 0; i < slots; ++i)  // little-endian truncation, as a cast would
        std::memcpy(packed.data() + i * kIndexBytes[ii], &index[i], kIndexBytes[ii]);
      std::int64_t null_count = 0;
      const void* validity = make_validity(in, blocks, slots, valid, null_count);
      arr = blocks.array({validity, blocks.block_of(packed)});
      arr->length = static_cast<std::int64_t>(slots);
      arr->null_count = null_count;
      arr->dictionary = dict;
      if (!dict_ok) {
        want.fault = Kind::kMalformed;
      } else {
        for (std::size_t i = 0; i < length; ++i) {
          if (null_count != 0 && !valid[slot(i)]) {
            want.fault = Kind::kNull;
            want.position = i;
            break;
          }
          const std::int64_t k = index_at(packed, slot(i), ii);
          if (k < 0 || static_cast<std::size_t>(k) >= texts.size()) {
            want.fault = Kind::kBadIndex;
            want.position = i;
            break;
          }
          if (dict->null_count != 0 && !dict_valid[static_cast<std::size_t>(k)]) {
            want.fault = Kind::kNull;
            want.position = i;
            break;
          }
          std::string t = slot_text(strings, *dict, static_cast<std::size_t>(k));
          if (!reference_valid(t)) {
            want.fault = Kind::kInvalidUtf8;
            want.position = i;
            break;
          }
          want.rows.push_back(std::move(t));
        }
      }
    }
    arr->offset = static_cast<std::int64_t>(slice);
    arr->length -= static_cast<std::int64_t>(slice);
    ArrowArray* given = arr;
    if (in_struct) {
      std::int64_t null_count = 0;
      const void* validity = make_validity(in, blocks, outer_slice + length, outer_valid, null_count);
      given = blocks.array({validity});
      blocks.children.push_back(std::make_unique<ArrowArray*[]>(1));
      blocks.children.back()[0] = arr;
      given->children = blocks.children.back().get();
      given->n_children = 1;
      given->offset = static_cast<std::int64_t>(outer_slice);
      given->length = static_cast<std::int64_t>(length);
      given->null_count = null_count;
      for (std::size_t i = 0; i < length; ++i) {
        if (null_count != 0 && !outer_valid[outer_slice + i]) {
          // A plain chunk reports its first null before any other fault; a
          // dictionary chunk its first faulty row of any kind.
          const bool earlier = want.fault && want.position < i &&
                               (dictionary ? want.fault != Kind::kMalformed : want.fault == Kind::kNull);
          if (!earlier && want.fault != Kind::kMalformed) {
            want.fault = Kind::kNull;
            want.position = i;
          }
          break;
        }
      }
    } else {
      given->length = static_cast<std::int64_t>(length);
    }
    std::vector<std::uint8_t> null(length);  // the rows the null mode reads as empty
    if (nulls_mode) {
      // Rows in order, a fault only of a row not null (or of any row's
      // offsets, all checked first, or of a dictionary entry not null).
      want = Expected{};
      for (std::size_t i = 0; i < length; ++i)
        null[i] = (in_struct && given->null_count != 0 && !outer_valid[outer_slice + i]) ||
                  (arr->null_count != 0 && !valid[slot(i)]);
      const auto fail = [&](Kind kind, std::size_t i) {
        want.fault = kind;
        want.position = i;
      };
      std::vector<std::uint8_t> entry_null(entries.size());
      for (std::size_t k = 0; dict && k < entries.size(); ++k) entry_null[k] = dict->null_count != 0 && !dict_valid[k];
      const std::size_t bad =
          dictionary ? first_bad_slot(strings, *dict, 0, entries.size(), &entry_null)
                     : first_bad_slot(strings, *arr, slot(0), length, &null);
      if (dictionary && bad < entries.size()) fail(Kind::kMalformed, 0);
      if (!dictionary && bad < length && strings != Strings::kView) fail(Kind::kBadOffsets, bad);
      for (std::size_t i = 0; i < length && !want.fault; ++i) {
        std::int64_t k = 0;
        if (dictionary && !null[i]) {
          k = index_at(packed, slot(i), ii);
          if (k < 0 || static_cast<std::size_t>(k) >= entries.size()) fail(Kind::kBadIndex, i);
          else null[i] = entry_null[static_cast<std::size_t>(k)];
        }
        if (want.fault) break;
        if (null[i]) {
          want.rows.emplace_back();
          continue;
        }
        if (!dictionary && i == bad) {
          fail(Kind::kBadView, i);
          break;
        }
        std::string t = dictionary ? slot_text(strings, *dict, static_cast<std::size_t>(k))
                                   : slot_text(strings, *arr, slot(i));
        if (!reference_valid(t)) fail(Kind::kInvalidUtf8, i);
        want.rows.push_back(std::move(t));
      }
    }
    const std::optional<ArrowReadError> got = col.append(*given);
    const std::string context = "chunk " + std::to_string(c);
    if (want.fault) {
      QM_FUZZ_CHECK(got.has_value(), context + " accepted");
      QM_FUZZ_CHECK(got->kind == *want.fault, context + ": " + got->text("x"));
      if (*want.fault != Kind::kMalformed)
        QM_FUZZ_CHECK(got->position == base + want.position, context + ": " + got->text("x"));
      return;
    }
    QM_FUZZ_CHECK(!got.has_value(), context + ": " + got->text("x"));
    expected_rows.insert(expected_rows.end(), want.rows.begin(), want.rows.end());
    expected_nulls.insert(expected_nulls.end(), null.begin(), null.end());
  }
  const auto null_rows = static_cast<std::uint64_t>(std::count(expected_nulls.begin(), expected_nulls.end(), 1));
  QM_FUZZ_CHECK(col.null_rows() == null_rows, "null rows");
  QM_FUZZ_CHECK(null_rows ? std::equal(expected_nulls.begin(), expected_nulls.end(), col.nulls().begin(),
                                       col.nulls().end())
                          : col.nulls().empty(),
                "null mask");
  QM_FUZZ_CHECK(col.rows() == expected_rows.size(), "row count");
  const std::vector<TextView> rows = col.row_views();
  QM_FUZZ_CHECK(rows.size() == expected_rows.size(), "row views");
  std::size_t longest = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    QM_FUZZ_CHECK(rows[i].view() == expected_rows[i], "row " + std::to_string(i));
    longest = std::max(longest, rows[i].size);
  }
  QM_FUZZ_CHECK(col.longest() == longest, "longest text of a row");
  // Any range of rows, as a run asks for them.
  if (!rows.empty()) {
    const std::size_t first = in.below(rows.size());
    std::vector<TextView> range(in.below(rows.size() - first) + 1);
    col.views(first, range);
    for (std::size_t k = 0; k < range.size(); ++k)
      QM_FUZZ_CHECK(range[k].view() == expected_rows[first + k], "row " + std::to_string(first + k));
  }
  if (col.coded())
    for (std::uint32_t code : col.codes()) QM_FUZZ_CHECK(code < col.texts().size(), "code");
}

}  // namespace quillmatch::fuzz
