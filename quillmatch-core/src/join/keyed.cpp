// The partition filter as join keys (quillmatch/keyed.h).
//
// Fixed cutoff d, gap g (0 for Levenshtein, 1 for OSA). A text of length l
// is cut, as in segments.h, when l >= d(1 + g) + 1, into d + 1 segments.
//
// Texts too short to be cut (l <= U = d(1 + g)) cannot be found by their
// segments. They are keyed by length band instead: with B = d + 1, an uncut
// text of length l gives one index row keyed by band floor(l / B), and every
// text r of length m gives a probe row per band that meets the uncut lengths
// in [m - d, m + d], at most three bands as the range is 2d + 1 wide. Every
// partner of an uncut text is within d of its length, so it probes its band;
// the band only adds candidates up to 2d + 1 away, which the scoring drops.
// A cutoff of 2^33 or more is taken as 2^33 in both bounds: no length of 32
// bits is then cut, and a band of 2^33 + 1 holds every length.
//
// Cut texts. A text s of length l gives an index row per segment i, keyed by
// (bytes of segment i, l, i). A cut text r of length m gives, for every cut
// partner length l in [m, m + d] and every segment i of l, a probe row per
// position q in the window of segments.h (D = m - l, threshold d): keyed by
// (bytes of r[q, q + |segment i|), l, i). When s and r lie within d and s is
// the longer (or as long), segments.h shows that r holds one of s's segments
// unchanged within that window: the two texts share that key, s as index and
// r as probe. A pair needs finding from one side only, so the shorter text
// alone probes: half the lengths of [m - d, m + d]. An uncut r need not
// probe cut lengths: it meets each cut partner at its own band, which the
// partner probes (bands are probed on both sides of a length). So a text
// probes at most (d + 1)(d + 1) windows of at most 2d + 1 positions, with
// d < m when it does: bounded by its own length, whatever the cutoff.
//
// So every pair within d shares a key, the text of one as index and the
// other as probe; the smallest such key, recomputed from the two texts, is
// where bucket_pairs keeps it.
//
// Normalized cutoff c, pair threshold D(n) for the longer length n
// (join/thresholds.h). Each pair is found from its shorter text, as the
// one-machine self join finds it: a text of length l is cut, if it can be,
// for its own threshold D(l) into D(l) + 1 segments, the pair's threshold
// when it is the longer; a text r of length m probes every length l from m
// to the last partner n*(m) (and at most `longest`): the key of l itself
// when l is uncut (its texts index that key), else every segment's window
// at threshold D(l). Cut or not is a function of l alone, so both sides
// agree on it.
#include "quillmatch/keyed.h"

#include <algorithm>
#include <bit>

#include "join/segments.h"
#include "join/texts.h"
#include "join/thresholds.h"

namespace quillmatch {

namespace {

using join::WorkingQuery;

constexpr std::uint64_t kLongestLength = UINT32_MAX;  // lengths are 32-bit
constexpr std::uint64_t kBeyondLengths = std::uint64_t{1} << 33;
// Key domains: a band's key never takes a segment's form by construction.
constexpr std::uint64_t kBandTag = 0x62616E64u;  // "band"

// The splitmix64 finaliser: a bijection of 64-bit words.
constexpr std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 31;
  return h;
}

// A hash of the bytes read as little-endian words whatever the machine's
// order, so that every machine keys a segment alike.
std::uint64_t stable_hash(const char* data, std::size_t size) {
  std::uint64_t h = mix(size + 0x9E3779B97F4A7C15ull);
  for (std::size_t at = 0; at < size; at += 8) {
    std::uint64_t w = 0;
    for (std::size_t b = 0; b < 8 && at + b < size; ++b)
      w |= std::uint64_t{static_cast<unsigned char>(data[at + b])} << (8 * b);
    h = mix(h ^ w);
  }
  return h;
}

class Keys {
 public:
  explicit Keys(const KeyedJoin& join)
      : normalized_(join.min_similarity.has_value()),
        d_(join.max_distance),
        capped_(std::min(join.max_distance, kBeyondLengths)),
        gap_(join.measure == Measure::kDamerau ? 1u : 0u),
        thresholds_(normalized_ ? join::Thresholds::normalized(*join.min_similarity)
                                : join::Thresholds(join.max_distance)),
        reach_(normalized_ ? join::Reach::kLongerPartners : join::Reach::kAllPartners),
        longest_(std::min<std::uint64_t>(join.longest, kLongestLength)),
        drop_(64 - std::clamp(join.key_bits, 1u, 64u)) {}

  // The largest distance at which texts of these lengths pair.
  std::uint64_t threshold(std::uint32_t a, std::uint32_t b) const { return thresholds_.pair(std::max(a, b)); }

  // The index keys of a text, sorted, once each.
  void index(const WorkingQuery& s, std::vector<std::uint64_t>& out) const {
    out.clear();
    const std::uint32_t l = s.length;
    if (!thresholds_.cut(l, gap_, reach_)) {
      out.push_back(band_key(normalized_ ? l : l / (capped_ + 1)));
      return;
    }
    const auto k = static_cast<std::uint32_t>(thresholds_.cut_for(l, reach_) + 1);  // <= l when l is cut
    for (std::uint32_t i = 0; i < k; ++i) {
      const join::Segment c = join::cut_segment(l, k, i, gap_);
      out.push_back(segment_key(s, c.start, c.length, l, i));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }

  // The probe keys of a text, sorted, once each.
  void probe(const WorkingQuery& r, std::vector<std::uint64_t>& out) const {
    out.clear();
    const std::uint64_t m = r.length;
    if (normalized_) {
      // Every partner at least as long: its length's key when uncut, else
      // its segments' windows at the pair's threshold.
      const std::uint64_t hi = std::min<std::uint64_t>(thresholds_.longest_partner(r.length), longest_);
      for (std::uint64_t l = m; l <= hi; ++l) {
        if (!thresholds_.cut(l, gap_, reach_)) out.push_back(band_key(l));
        else windows(r, static_cast<std::uint32_t>(l), thresholds_.pair(l), out);
      }
    } else {
      const std::uint64_t lo = m > d_ ? m - d_ : 0;
      std::uint64_t hi = std::min(m + capped_, longest_);
      const std::uint64_t uncut = capped_ * (1 + std::uint64_t{gap_});  // U: the longest uncut length
      if (lo <= uncut)
        for (std::uint64_t b = lo / (capped_ + 1); b <= std::min(hi, uncut) / (capped_ + 1); ++b)
          out.push_back(band_key(b));
      if (!thresholds_.cut(r.length, gap_)) hi = 0;  // an uncut text probes bands alone (above)
      for (std::uint64_t l = std::max(m, uncut + 1); l <= hi; ++l)
        windows(r, static_cast<std::uint32_t>(l), d_, out);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }

 private:
  // The keys of r's substrings in the windows of segments.h where a cut text
  // of length l within t of r holds one of its first t + 1 segments.
  void windows(const WorkingQuery& r, std::uint32_t l, std::uint64_t t, std::vector<std::uint64_t>& out) const {
    const auto k = static_cast<std::uint32_t>(thresholds_.cut_for(l, reach_) + 1);
    const auto looked_up = static_cast<std::uint32_t>(std::min<std::uint64_t>(t + 1, k));  // t < k
    for (std::uint32_t i = 1; i <= looked_up; ++i) {
      const join::Segment c = join::cut_segment(l, k, i - 1, gap_);
      const join::Window w = join::segment_window(c, i, t, r.length, l);
      for (std::int64_t q = w.first; q <= w.last; ++q)
        out.push_back(segment_key(r, static_cast<std::uint32_t>(q), c.length, l, i - 1));
    }
  }

  std::uint64_t segment_key(const WorkingQuery& t, std::uint32_t start, std::uint32_t length, std::uint32_t l,
                            std::uint32_t i) const {
    const std::uint32_t b0 = t.starts[start], b1 = t.starts[start + length];
    const std::string_view w = t.text();
    return trim(mix(stable_hash(w.data() + b0, b1 - b0) ^ mix((std::uint64_t{l} << 32) | i)));
  }
  std::uint64_t band_key(std::uint64_t band) const { return trim(mix(mix(band) ^ kBandTag)); }
  std::uint64_t trim(std::uint64_t key) const { return drop_ ? key >> drop_ : key; }

  bool normalized_;
  std::uint64_t d_, capped_;
  std::uint32_t gap_;
  join::Thresholds thresholds_;
  join::Reach reach_;
  std::uint64_t longest_;
  unsigned drop_;
};

// The smallest key in both sorted lists, if any.
std::optional<std::uint64_t> first_shared(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b) {
  auto x = a.begin(), y = b.begin();
  while (x != a.end() && y != b.end()) {
    if (*x == *y) return *x;
    if (*x < *y) ++x;
    else ++y;
  }
  return std::nullopt;
}

// A text of a group: its working form (the given bytes, or its folded form
// in the group's arena) and, once asked for, where its index and probe keys
// lie in the group's key arena. Nothing of it is allocated on its own: a
// group has hundreds of thousands of members.
struct Member {
  std::int64_t id = 0;
  std::string_view text;
  std::size_t folded_at = 0;
  std::uint32_t folded_size = 0;
  std::uint32_t index_at = 0, index_n = 0, probe_at = 0, probe_n = 0;
  bool keyed = false;
};

}  // namespace

std::optional<std::size_t> key_rows(const KeyedJoin& join, std::span<const TextView> texts,
                                    std::span<const std::int64_t> ids, KeyRows& out) {
  const Keys keys(join);
  WorkingQuery form;
  std::vector<std::uint64_t> found;
  auto append = [&](std::int64_t id, std::int8_t role) {
    out.keys.insert(out.keys.end(), found.begin(), found.end());
    out.ids.insert(out.ids.end(), found.size(), id);
    out.roles.insert(out.roles.end(), found.size(), role);
  };
  for (std::size_t k = 0; k < texts.size(); ++k) {
    const std::int64_t id = ids.empty() ? static_cast<std::int64_t>(k) : ids[k];
    form.take(texts[k], join.case_insensitive);
    if (form.length > join.longest) return k;
    keys.index(form, found);
    append(id, kIndexRow);
    keys.probe(form, found);
    append(id, kProbeRow);
  }
  return std::nullopt;
}

void bucket_pairs(const KeyedJoin& join, std::span<const std::uint64_t> keys, std::span<const std::int64_t> ids,
                  std::span<const std::int8_t> roles, std::span<const TextView> texts, KeyedPairs& out) {
  const Keys plan(join);
  const std::size_t n = keys.size();
  // The group's texts, one member per id, in id order.
  std::vector<std::int64_t> distinct(ids.begin(), ids.end());
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::vector<Member> members(distinct.size());
  // The members' counts apart, packed: the count bound reads them for every
  // meeting of a key, most of which it rules out.
  std::vector<join::CharCounts> counts(distinct.size());
  std::vector<std::uint32_t> lengths(distinct.size());
  std::vector<std::uint8_t> taken(distinct.size(), 0);
  std::string folded;  // the folded forms, case_insensitive only
  WorkingQuery form;   // one text at a time, its buffers kept
  struct Row {
    std::uint64_t key;
    std::int8_t role;
    std::uint32_t member;
    auto operator<=>(const Row&) const = default;
  };
  std::vector<Row> rows;
  rows.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto m = static_cast<std::uint32_t>(std::lower_bound(distinct.begin(), distinct.end(), ids[k]) - distinct.begin());
    if (!taken[m]) {
      taken[m] = 1;
      form.take(texts[k], join.case_insensitive);
      members[m].id = ids[k];
      if (join.case_insensitive) {
        members[m].folded_at = folded.size();
        members[m].folded_size = static_cast<std::uint32_t>(form.text().size());
        folded.append(form.text());
      } else {
        members[m].text = form.text();  // the caller's bytes
      }
      counts[m] = form.counts;
      lengths[m] = form.length;
    }
    rows.push_back({keys[k], roles[k] == kIndexRow ? kIndexRow : kProbeRow, m});
  }
  // The arena has stopped growing: its views are stable from here on.
  if (join.case_insensitive)
    for (std::size_t m = 0; m < members.size(); ++m)
      members[m].text = std::string_view(folded).substr(members[m].folded_at, members[m].folded_size);
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());

  std::vector<std::uint64_t> key_arena, found;
  auto keyed = [&](std::uint32_t m) -> Member& {
    Member& t = members[m];
    if (!t.keyed) {
      // Taken again as is: a working form is its own working form.
      form.take(TextView(t.text), false);
      plan.index(form, found);
      t.index_at = static_cast<std::uint32_t>(key_arena.size());
      t.index_n = static_cast<std::uint32_t>(found.size());
      key_arena.insert(key_arena.end(), found.begin(), found.end());
      plan.probe(form, found);
      t.probe_at = static_cast<std::uint32_t>(key_arena.size());
      t.probe_n = static_cast<std::uint32_t>(found.size());
      key_arena.insert(key_arena.end(), found.begin(), found.end());
      t.keyed = true;
    }
    return t;
  };
  auto index_keys = [&](const Member& t) { return std::span<const std::uint64_t>(key_arena).subspan(t.index_at, t.index_n); };
  auto probe_keys = [&](const Member& t) { return std::span<const std::uint64_t>(key_arena).subspan(t.probe_at, t.probe_n); };
  // Whether (x as index, y as probe) under `key` is the pair's canonical
  // meeting: the smallest key shared either way, and at a key shared both
  // ways, the smaller id as index.
  auto canonical = [&](std::uint64_t key, const Member& x, const Member& y) {
    if (first_shared(index_keys(x), probe_keys(y)) != key) return false;
    const std::optional<std::uint64_t> other = first_shared(index_keys(y), probe_keys(x));
    return !other || *other > key || (*other == key && x.id < y.id);
  };

  std::vector<std::uint32_t> kept;
  std::vector<TextView> views;
  std::vector<std::uint64_t> distances;
  // The probe rows of the key at hand, their counts and lengths side by side:
  // every index row of the key reads them all, and a hot key has thousands of
  // each, so they are gathered once rather than looked up in the members.
  std::vector<join::CharCounts> probe_counts;
  std::vector<std::uint32_t> probe_lengths, probe_members;
  for (std::size_t a = 0, b = 0; a < rows.size(); a = b) {
    while (b < rows.size() && rows[b].key == rows[a].key) ++b;
    std::size_t probes = a;  // rows [a, probes) index, [probes, b) probe
    while (probes < b && rows[probes].role == kIndexRow) ++probes;
    if (probes == a || probes == b) continue;
    probe_counts.clear();
    probe_lengths.clear();
    probe_members.clear();
    for (std::size_t yi = probes; yi < b; ++yi) {
      probe_counts.push_back(counts[rows[yi].member]);
      probe_lengths.push_back(lengths[rows[yi].member]);
      probe_members.push_back(rows[yi].member);
    }
    for (std::size_t xi = a; xi < probes; ++xi) {
      const std::uint32_t xm = rows[xi].member;
      const join::CharCounts xc = counts[xm];
      const std::uint32_t xl = lengths[xm];
      kept.clear();
      views.clear();
      for (std::size_t k = 0; k < probe_members.size(); ++k) {
        if (probe_members[k] == xm) continue;
        // Edit distances are at least half the count distance (texts.h).
        const std::uint64_t t = plan.threshold(xl, probe_lengths[k]);
        if ((join::count_distance(xc, probe_counts[k]) + 1) / 2 > t) continue;
        const Member& y = keyed(probe_members[k]);
        if (!canonical(rows[a].key, keyed(xm), y)) continue;
        kept.push_back(probe_members[k]);
        views.emplace_back(y.text);
      }
      if (kept.empty()) continue;
      const Member& x = members[xm];
      // The one-machine join's scorer, on working forms, case folding off.
      const TextView query(x.text);
      const DistanceScorer scorer = join.measure == Measure::kDamerau ? DistanceScorer::damerau(query, false)
                                                                      : DistanceScorer::levenshtein(query, false);
      distances.resize(views.size());
      scorer.score(views, distances);
      for (std::size_t k = 0; k < kept.size(); ++k) {
        const std::uint32_t ly = lengths[kept[k]];
        if (distances[k] > plan.threshold(xl, ly)) continue;
        const std::int64_t other = members[kept[k]].id;
        out.left.push_back(std::min(x.id, other));
        out.right.push_back(std::max(x.id, other));
        // A normalized score as the one-machine join gives it: of the
        // distance and the working forms' lengths (within D(n), it reaches
        // the cutoff: thresholds.h).
        if (join.min_similarity) out.similarities.push_back(normalized_similarity(distances[k], xl, ly));
        else out.distances.push_back(distances[k]);
      }
    }
  }
}

}  // namespace quillmatch
