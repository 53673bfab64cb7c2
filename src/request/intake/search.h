// The request-body buffer's search for a match in memory: a pure function of
// the bytes it is given, with no stream, descriptor or state of its own.
//
// find() gives the index of the first occurrence of the match in
// data[0, n), never a later one, or not_found. held_tail() gives the length
// of the longest tail of data[0, n) that is a proper prefix of the match:
// those bytes may begin an occurrence that data not yet read completes, so
// the caller holds them back. Both are linear in n whatever the bytes (and
// held_tail() looks at no more than the match's length):
//   - a match whose first byte does not recur in it (every end marker: CR LF
//     and a delimiter, whose boundary holds no control character) runs
//     Horspool's search. A window moves by how far its last byte stands from
//     the end of the match; a candidate is compared only from a byte equal to
//     the match's first, and no such byte stands inside a stretch that
//     compared equal, so a byte is compared at most twice.
//   - any other match ("aab", "abab") would let Horspool compare the same
//     bytes once for every candidate they belong to; it runs a scan by the
//     match's prefix function instead, one step a byte.
//
// Measured and rejected (figures in docs/benchmark.md):
//   - one window: two windows over the two halves of the data, moving in
//     turn, keep two independent chains of loads in flight;
//   - counting the rounds of moves ahead of a batch, which takes a division;
//   - memcmp without the inline test of the first byte;
//   - the single-window scan and the test of the last byte for held_tail()
//     as calls rather than inline.
#ifndef MPREAD_INTAKE_SEARCH_H
#define MPREAD_INTAKE_SEARCH_H

#include <stddef.h>
#include <stdint.h>

namespace search {

constexpr size_t not_found = SIZE_MAX;

// A match made ready for searching by prepare(); freed by forget().
struct Pattern {
  char *text;  // NUL-terminated copy; null while unprepared
  size_t len;
  // Horspool's table: how far a window may move when its last byte is the
  // index (0 for the match's own last byte, whose move is last_shift).
  // Capped at 255: a shorter move is always safe.
  uint8_t shift[256];
  size_t last_shift;
  size_t max_shift;  // the longest move in the table
  // For a match whose first byte recurs in it: border[k] is the length of
  // the longest proper prefix of text[0, k + 1) that is also its suffix.
  // Null otherwise.
  size_t *border;
};

// Makes p ready for match[0, len), len at least 1, freeing what p held.
// False, with p unprepared, when memory runs out.
bool prepare(Pattern &p, const char *match, size_t len);
void forget(Pattern &p);

size_t find(const Pattern &p, const unsigned char *data, size_t n);

size_t tail_prefix(const Pattern &p, const unsigned char *data, size_t n);

// Inline: most reads end in a byte that stands nowhere in the match but at
// its end, and such a byte cannot end a prefix of it.
inline size_t held_tail(const Pattern &p, const unsigned char *data, size_t n) {
  if (n == 0 || p.shift[data[n - 1]] == p.len) return 0;
  return tail_prefix(p, data, n);
}

}  // namespace search

#endif
