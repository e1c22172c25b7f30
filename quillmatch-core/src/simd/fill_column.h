// The copy of a text's table entries into its lane's column of a block, one
// byte at a time: what every lane fill must equal.
#pragma once

#include <cstddef>

namespace quillmatch {

// Writes table[bytes[j]] to column[j * stride] for every j < n and returns the
// OR of the bytes (0x80 and above when a byte is not ASCII). Four bytes a
// round: the loop's own counting would otherwise cost as much as the copy.
template <class T>
unsigned char fill_column(const unsigned char* bytes, std::size_t n, const T* table, T* column,
                          std::size_t stride) {
  unsigned char seen = 0;
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4, column += 4 * stride) {
    const unsigned char b0 = bytes[j], b1 = bytes[j + 1], b2 = bytes[j + 2], b3 = bytes[j + 3];
    seen |= static_cast<unsigned char>(b0 | b1 | b2 | b3);
    column[0] = table[b0];
    column[stride] = table[b1];
    column[2 * stride] = table[b2];
    column[3 * stride] = table[b3];
  }
  for (; j < n; ++j, column += stride) {
    seen |= bytes[j];
    *column = table[bytes[j]];
  }
  return seen;
}

}  // namespace quillmatch
