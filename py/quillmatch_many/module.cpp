// The definition of quillmatch_many's extension (imported as
// quillmatch_many._quillmatch_many): its eighteen functions, published by the
// shared exec step (common/module_def.h), then the Index type (in __all__) and
// the private _with_plan (not in it).
#include <array>

#include "common/module_def.h"
#include "quillmatch_many/functions.h"
#include "quillmatch_many/index.h"
#include "quillmatch_many/scores.h"

namespace quillmatch::py {

namespace {

// The order of publication, which is also the order of __all__. The pairs and
// clusters functions' text signatures show score_cutoff=None, as the binder
// accepts it absent; their bodies require it.
constexpr std::array<FunctionEntry, 18> kFunctions{{
    {kLevenshteinMatrix, levenshtein_matrix, kLevenshteinMatrixDoc},
    {kDamerauMatrix, damerau_matrix, kDamerauMatrixDoc},
    {kJaroWinklerMatrix, jaro_winkler_matrix, kJaroWinklerMatrixDoc},
    {kLevenshteinTop, levenshtein_top, kLevenshteinTopDoc},
    {kDamerauTop, damerau_top, kDamerauTopDoc},
    {kJaroWinklerTop, jaro_winkler_top, kJaroWinklerTopDoc},
    {kLevenshteinPairs, levenshtein_pairs, kLevenshteinPairsDoc},
    {kDamerauPairs, damerau_pairs, kDamerauPairsDoc},
    {kJaroWinklerPairs, jaro_winkler_pairs, kJaroWinklerPairsDoc},
    {kLevenshteinScores, levenshtein_scores, kLevenshteinScoresDoc},
    {kDamerauScores, damerau_scores, kDamerauScoresDoc},
    {kJaroWinklerScores, jaro_winkler_scores, kJaroWinklerScoresDoc},
    {kClusters, clusters, kClustersDoc},
    {kLevenshteinClusters, levenshtein_clusters, kLevenshteinClustersDoc},
    {kDamerauClusters, damerau_clusters, kDamerauClustersDoc},
    {kJaroWinklerClusters, jaro_winkler_clusters, kJaroWinklerClustersDoc},
    {kKeyRows, key_rows, kKeyRowsDoc},
    {kBucketPairs, bucket_pairs, kBucketPairsDoc},
}};

// Private, outside __all__.
PyMethodDef with_plan_def = {"_with_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_plan)),
                             METH_VARARGS | METH_KEYWORDS, nullptr};

bool add_index_and_plan_hook(PyObject* module, PyObject* all) {
  Ref index_type(make_index_type());
  Ref index_name(PyUnicode_FromString("Index"));
  if (!index_type || !index_name || PyObject_SetAttr(module, index_name.get(), index_type.get()) < 0 ||
      PyList_Append(all, index_name.get()) < 0)
    return false;
  Ref module_name(public_name(module));
  Ref hook(module_name ? PyCFunction_NewEx(&with_plan_def, module, module_name.get()) : nullptr);
  if (!hook || PyModule_AddObject(module, "_with_plan", hook.get()) < 0) return false;
  hook.release();  // PyModule_AddObject took the reference
  return true;
}

}  // namespace

}  // namespace quillmatch::py

QUILLMATCH_BODY_EXEC {
  using namespace quillmatch::py;
  return exec_module(module, method_defs<kFunctions>(), add_index_and_plan_hook);
}
