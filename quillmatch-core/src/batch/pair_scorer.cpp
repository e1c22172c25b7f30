// PairScorer: the pair lanes of each measure (batch/pair_lanes.h) behind the
// public interface the row-by-row runs score through.
#include <cstdlib>
#include <memory>

#include "batch/pair_lanes.h"

namespace quillmatch {

struct PairScorer::State {
  virtual ~State() = default;
  virtual void score(std::span<const TextView> q, std::span<const TextView> c, std::uint64_t* out) = 0;
  virtual void score(std::span<const TextView> q, std::span<const TextView> c, double* out) = 0;
};

namespace {

// The engine of a measure; a call for the other kind of score is a broken
// REQUIRES, an internal fault.
template <class Engine>
struct EngineState final : PairScorer::State {
  static_assert(PairScorer::kMaxRows <= Engine::kMaxRows);
  template <class... Args>
  explicit EngineState(Args... args) : engine(args...) {}

  void score(std::span<const TextView> q, std::span<const TextView> c, std::uint64_t* out) override {
    if constexpr (std::is_same_v<typename Engine::Value, std::uint64_t>) engine.score(q, c, out);
    else std::abort();
  }
  void score(std::span<const TextView> q, std::span<const TextView> c, double* out) override {
    if constexpr (std::is_same_v<typename Engine::Value, double>) engine.score(q, c, out);
    else std::abort();
  }

  Engine engine;
};

}  // namespace

Result<PairScorer> PairScorer::make(Measure measure, std::optional<double> p, bool case_insensitive) {
  switch (measure) {
    case Measure::kJaroWinkler: {
      const Result<double> scale = check_prefix_scale(p);
      if (!scale.ok()) return scale.error();
      return PairScorer(std::make_unique<EngineState<PairLaneEngine<JaroWinklerLanes>>>(case_insensitive, scale.value()));
    }
    case Measure::kDamerau:
      return PairScorer(std::make_unique<EngineState<PairLaneEngine<DistanceLanes<OsaLanes, damerau_bp>>>>(case_insensitive));
    default:
      return PairScorer(
          std::make_unique<EngineState<PairLaneEngine<DistanceLanes<LevenshteinLanes, levenshtein_bp>>>>(case_insensitive));
  }
}

PairScorer::PairScorer(std::unique_ptr<State> state) : state_(std::move(state)) {}
PairScorer::PairScorer(PairScorer&&) noexcept = default;
PairScorer& PairScorer::operator=(PairScorer&&) noexcept = default;
PairScorer::~PairScorer() = default;

void PairScorer::score(std::span<const TextView> queries, std::span<const TextView> candidates,
                       std::span<std::uint64_t> out) {
  state_->score(queries, candidates, out.data());
}
void PairScorer::score(std::span<const TextView> queries, std::span<const TextView> candidates,
                       std::span<double> out) {
  state_->score(queries, candidates, out.data());
}

}  // namespace quillmatch
