// The clusters run: one task that makes the nodes, joins the edges and labels
// the nodes (join/clusters.h), a range at a time, with a poll for a stop
// between ranges.
//
// The edges are read a piece at a time into the task's own buffers, widened
// to 64 bits (a negative entry becomes a value of 2^63 or more, which no n
// reaches, as labels hold int64), checked, then joined from the buffers: an
// entry is read once, so a column that another thread writes meanwhile can
// change the labels but not where they are written.
#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "join/clusters.h"
#include "many/job.h"

namespace quillmatch {

namespace {

// Nodes or edges between two polls: a find over a large graph misses the
// cache a few times, so a piece takes some tens of milliseconds at most.
constexpr std::size_t kPiece = std::size_t{1} << 18;

template <class T>
void widen_as(const IndexColumn& c, std::size_t from, std::span<std::uint64_t> out) {
  const auto* bytes = static_cast<const unsigned char*>(c.data) + from * sizeof(T);
  for (std::size_t k = 0; k < out.size(); ++k) {
    T v;
    std::memcpy(&v, bytes + k * sizeof(T), sizeof(T));
    out[k] = static_cast<std::uint64_t>(v);  // sign-extended: negative is 2^63 or more
  }
}

// out[k] = entry from + k of the column, as a 64-bit value.
void widen(const IndexColumn& c, std::size_t from, std::span<std::uint64_t> out) {
  switch (c.width) {
    case 1: return c.is_signed ? widen_as<std::int8_t>(c, from, out) : widen_as<std::uint8_t>(c, from, out);
    case 2: return c.is_signed ? widen_as<std::int16_t>(c, from, out) : widen_as<std::uint16_t>(c, from, out);
    case 4: return c.is_signed ? widen_as<std::int32_t>(c, from, out) : widen_as<std::uint32_t>(c, from, out);
    default: return c.is_signed ? widen_as<std::int64_t>(c, from, out) : widen_as<std::uint64_t>(c, from, out);
  }
}

class ClustersJob final : public ManyRun::Job {
 public:
  ClustersJob(IndexColumn i, IndexColumn j, std::span<std::int64_t> labels, EdgeFault& fault)
      : i_(i), j_(j), labels_(labels), fault_(fault) {
    plan.row_bounds = {0, 1};
  }

  void run(std::size_t, const ThreadPool& pool) override {
    if (fault_.kind != EdgeFault::Kind::kNone) return;
    const std::size_t n = labels_.size(), edges = i_.size;
    join::Components components(labels_);
    for (std::size_t from = 0; from < n; from += kPiece) {
      components.extend(std::min(n, from + kPiece));
      if (pool.stop_requested()) return;
    }
    std::vector<std::uint64_t> a(std::min(edges, kPiece)), b(a.size());
    for (std::size_t k0 = 0; k0 < edges; k0 += kPiece) {
      const std::size_t count = std::min(kPiece, edges - k0);
      const std::span<std::uint64_t> as(a.data(), count), bs(b.data(), count);
      widen(i_, k0, as);
      widen(j_, k0, bs);
      for (std::size_t k = 0; k < count; ++k) {
        if (as[k] >= n) return report(false, k0 + k, as[k], i_);
        if (bs[k] >= n) return report(true, k0 + k, bs[k], j_);
        components.join(as[k], bs[k]);
      }
      if (pool.stop_requested()) return;
    }
    for (std::size_t from = 0; from < n; from += kPiece) {
      components.label(from, std::min(n, from + kPiece));
      if (pool.stop_requested()) return;
    }
  }

 private:
  void report(bool in_j, std::size_t position, std::uint64_t value, const IndexColumn& column) {
    fault_.kind = EdgeFault::Kind::kIndex;
    fault_.in_j = in_j;
    fault_.position = position;
    fault_.negative = column.is_signed && static_cast<std::int64_t>(value) < 0;
    fault_.magnitude = fault_.negative ? 0 - value : value;
  }

  const IndexColumn i_, j_;
  const std::span<std::int64_t> labels_;
  EdgeFault& fault_;
};

}  // namespace

Result<std::unique_ptr<ManyRun>> start_clusters(IndexColumn i, IndexColumn j, std::span<std::int64_t> labels,
                                                EdgeFault& fault) {
  fault = EdgeFault();
  if (i.size != j.size) fault.kind = EdgeFault::Kind::kLengths;
  return std::make_unique<ManyRun>(std::make_unique<ClustersJob>(i, j, labels, fault), 1);
}

EdgeFault clusters(IndexColumn i, IndexColumn j, std::span<std::int64_t> labels) {
  EdgeFault fault;
  start_clusters(i, j, labels, fault).value()->finish();
  return fault;
}

}  // namespace quillmatch
