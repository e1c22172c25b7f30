// Connected components of an undirected graph by union-find, the links kept
// in the caller's label array.
//
// labels[v] is v's parent link while edges are joined (a root links to
// itself), beside a rank per node: union by rank and path halving keep every
// find within log2(n) links, and nearly constant amortized. Labelling then
// rewrites each link as the smallest node of the component, in increasing
// node order: when node v is labelled, every node below it already links to
// its own component's smallest node, which links to itself, and a root whose
// component has a labelled node links to that smallest node too. So a find
// from v ends either at that smallest node (below v) or at a root that no
// labelled node has reached, whose component's smallest node is then v. The
// result depends on the edges alone, not on their order.
//
// The work is split into ranges (extend, join, label) so that a caller can
// poll for a stop between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace quillmatch::join {

class Components {
 public:
  // REQUIRES: `labels` outlives this; its size is the number of nodes, n.
  explicit Components(std::span<std::int64_t> labels) : links_(labels) { rank_.reserve(labels.size()); }

  // Nodes made so far: [0, made()) are nodes that join() may take.
  std::size_t made() const { return rank_.size(); }
  // Makes nodes [made(), to) singletons.
  // REQUIRES: made() <= to <= n.
  void extend(std::size_t to) {
    for (std::size_t v = made(); v < to; ++v) links_[v] = static_cast<std::int64_t>(v);
    rank_.resize(to);
  }

  // Puts a and b in one component.
  // REQUIRES: a, b < made(); no node labelled yet.
  void join(std::uint64_t a, std::uint64_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return;
    if (rank_[a] < rank_[b]) std::swap(a, b);
    links_[b] = static_cast<std::int64_t>(a);
    if (rank_[a] == rank_[b]) ++rank_[a];
  }

  // Gives nodes [from, to) their labels, the smallest node of their component.
  // REQUIRES: made() == n; from is 0 or the `to` of the call before; no join
  // after the first call.
  void label(std::size_t from, std::size_t to) {
    for (std::size_t v = from; v < to; ++v) {
      const std::uint64_t r = root(v);
      if (r > v) links_[r] = links_[v] = static_cast<std::int64_t>(v);
      else links_[v] = static_cast<std::int64_t>(r);
    }
  }

 private:
  // The node that v's links end at, halving the path on the way.
  std::uint64_t root(std::uint64_t v) {
    std::int64_t* const links = links_.data();
    for (;;) {
      const auto parent = static_cast<std::uint64_t>(links[v]);
      if (parent == v) return v;
      const auto grandparent = static_cast<std::uint64_t>(links[parent]);
      links[v] = static_cast<std::int64_t>(grandparent);
      v = grandparent;
    }
  }

  std::span<std::int64_t> links_;
  // At most log2(n) < 64: a rank r root has at least 2^r nodes.
  std::vector<std::uint8_t> rank_;
};

}  // namespace quillmatch::join
