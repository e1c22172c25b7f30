// The function table of a module: each function's signature and entry point,
// and the method definitions the exec step makes function objects from.
#pragma once

#include <Python.h>

#include <array>
#include <string>
#include <tuple>
#include <type_traits>

#include "common/frame.h"

namespace quillmatch::py {

// `doc` is the text help() shows below the signature; without one, __doc__
// is None and help() shows the signature alone.
struct FunctionEntry {
  const CallSignature& sig;
  PyCFunctionWithKeywords function;
  const char* doc = nullptr;
};

// "name(a, b, c=None)\n--\n\n" followed by the entry's doc: the interpreter
// derives __text_signature__ from the first line and makes __doc__ of what
// follows the "--" line (None when nothing does).
inline std::string docstring(const FunctionEntry& entry) {
  const CallSignature& sig = entry.sig;
  std::string doc = std::string(sig.name) + "(";
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (i) doc += ", ";
    doc += sig.params[i];
    if (i >= sig.required) doc += "=None";
  }
  doc += ")\n--\n\n";
  if (entry.doc) doc += entry.doc;
  return doc;
}

// The method definitions of one table, in its order. They must outlive every
// function object made from them, so they are built once per table and never
// released. Building them calls no interpreter function.
template <const auto& kTable>
auto& method_defs() {
  constexpr std::size_t n = std::tuple_size_v<std::remove_cvref_t<decltype(kTable)>>;
  static auto defs = [] {
    static std::array<std::string, n> docs;
    std::array<PyMethodDef, n> out{};
    for (std::size_t i = 0; i < n; ++i) {
      docs[i] = docstring(kTable[i]);
      out[i] = PyMethodDef{kTable[i].sig.name,
                           reinterpret_cast<PyCFunction>(
                               reinterpret_cast<void (*)()>(kTable[i].function)),
                           METH_VARARGS | METH_KEYWORDS, docs[i].c_str()};
    }
    return out;
  }();
  return defs;
}

}  // namespace quillmatch::py
