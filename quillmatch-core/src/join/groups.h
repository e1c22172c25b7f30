// Groups of equal texts. Texts are sorted by a hash of their bytes, and a run
// of equal hashes is split by comparing the texts, so no two different texts
// share a group, whatever the hash.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "join/texts.h"
#include "many/thread_pool.h"

namespace quillmatch::join {

// The ids of group g are members[from[g] .. from[g + 1]), in increasing order.
// Groups come in the order of their texts' hashes.
struct EqualGroups {
  std::vector<std::uint32_t> from{0};
  std::vector<std::uint32_t> members;

  std::size_t size() const { return from.size() - 1; }
  std::uint32_t first(std::size_t g) const { return members[from[g]]; }
  std::span<const std::uint32_t> group(std::size_t g) const {
    return std::span<const std::uint32_t>(members).subspan(from[g], from[g + 1] - from[g]);
  }
};

// Groups the ids below `count` that held(id) keeps by text(id), a
// string_view of the id's bytes.
template <class Held, class TextOf>
EqualGroups group_equal(std::uint32_t count, Held&& held, TextOf&& text, Meter& meter) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> hashed;
  for (std::uint32_t id = 0; id < count; ++id) {
    if (!held(id)) continue;
    const std::string_view t = text(id);
    hashed.emplace_back(hash_bytes(t.data(), t.size()), id);
    meter.spend(t.size() + 8);
  }
  std::sort(hashed.begin(), hashed.end());
  meter.spend(16 * hashed.size());
  EqualGroups out;
  out.members.reserve(hashed.size());
  std::vector<std::uint32_t> run, left;
  for (std::size_t a = 0, b = 0; a < hashed.size(); a = b) {
    run.clear();
    while (b < hashed.size() && hashed[b].first == hashed[a].first) run.push_back(hashed[b++].second);
    while (!run.empty()) {  // in id order: members come out sorted
      const std::string_view first = text(run.front());
      left.clear();
      for (const std::uint32_t id : run) {
        if (text(id) == first) out.members.push_back(id);
        else left.push_back(id);
      }
      out.from.push_back(static_cast<std::uint32_t>(out.members.size()));
      run.swap(left);
    }
  }
  return out;
}

// Whether any of a list of texts may equal a given one: 32-bit fingerprints of
// the texts' hash_bytes in a table of open addressing, at most half full
// (4 to 8 bytes a distinct text). "No" is certain: an equal text has the same
// hash, so its fingerprint lies on the probe's path. "Yes" may be a
// collision. A search that looks for equal texts first asks here, and skips
// that step when none can be found.
class ExactTexts {
 public:
  template <class TextOf>
  ExactTexts(std::uint32_t count, TextOf&& text, Meter& meter) {
    const unsigned bits = static_cast<unsigned>(std::bit_width(2 * std::uint64_t{count} + 1));
    shift_ = 64 - bits;
    slots_.assign(std::size_t{1} << bits, kFree);
    // A block of texts at a time, their slots' reads started together: the
    // table is larger than the cache, and one text at a time each waits alone.
    constexpr std::uint32_t kBlock = 64;
    std::uint64_t hashes[kBlock];
    for (std::uint32_t first = 0; first < count; first += kBlock) {
      const std::uint32_t n = std::min(kBlock, count - first);
      for (std::uint32_t k = 0; k < n; ++k) {
        const std::string_view t = text(first + k);
        hashes[k] = hash_bytes(t.data(), t.size());
        __builtin_prefetch(&slots_[slot(hashes[k])], 1);
        meter.spend(t.size() + 8);
      }
      for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint64_t h = hashes[k];
        std::size_t at = slot(h);
        while (slots_[at] != kFree && slots_[at] != fingerprint(h)) at = (at + 1) & (slots_.size() - 1);
        slots_[at] = fingerprint(h);
      }
    }
  }

  bool may_hold(std::string_view text) const {
    const std::uint64_t h = hash_bytes(text.data(), text.size());
    for (std::size_t at = slot(h);; at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at] == fingerprint(h)) return true;
      if (slots_[at] == kFree) return false;
    }
  }

 private:
  // The low half of the hash, never kFree; the slot comes from the high half.
  static constexpr std::uint32_t kFree = 0;
  static std::uint32_t fingerprint(std::uint64_t h) { return static_cast<std::uint32_t>(h) | 1u; }
  std::size_t slot(std::uint64_t h) const { return static_cast<std::size_t>(h >> shift_); }

  std::vector<std::uint32_t> slots_;
  unsigned shift_ = 63;
};

}  // namespace quillmatch::join
