// Groups of equal texts. Texts are sorted by a hash of their bytes, and a run
// of equal hashes is split by comparing the texts, so no two different texts
// share a group, whatever the hash.
#pragma once

#include <algorithm>
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

}  // namespace quillmatch::join
