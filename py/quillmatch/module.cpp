// The definition of quillmatch: its nine functions, published by the shared
// exec step (common/module_def.h) and nothing else.
#include <array>

#include "common/module_def.h"
#include "quillmatch/functions.h"

namespace quillmatch::py {

namespace {

// The order of publication, which is also the order of __all__.
constexpr std::array<FunctionEntry, 9> kFunctions{{
    {kLevenshteinBp, levenshtein_bp},
    {kDamerauBp, damerau_bp},
    {kJaroWinklerSimilarity, jaro_winkler_similarity},
    {kLevenshteinBatch, levenshtein_batch},
    {kDamerauBatch, damerau_batch},
    {kJaroWinklerBatch, jaro_winkler_batch},
    {kIngestOwned, ingest_owned},
    {kIngestBorrow, ingest_borrow},
    {kIngestBorrowAndDeref, ingest_borrow_and_deref},
}};

}  // namespace

}  // namespace quillmatch::py

QUILLMATCH_BODY_EXEC {
  using namespace quillmatch::py;
  return exec_module(module, method_defs<kFunctions>(), nullptr);
}
