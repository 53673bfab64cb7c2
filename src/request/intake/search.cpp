#include "search.h"

#include <glib.h>
#include <string.h>

#include <algorithm>

namespace search {

namespace {

constexpr size_t moves = 8;       // moves of a window between two checks
constexpr size_t short_move = 8;  // below it, a memchr costs less than moves

// The first byte is tested before memcmp is called: a window parks on a
// candidate about every other chunk, nearly always a false one.
bool matches_at(const Pattern &s, const unsigned char *p, size_t i) {
  return p[i] == static_cast<unsigned char>(s.text[0]) &&
         memcmp(p + i, s.text, s.len - 1) == 0;
}

// Where the next window may start after a failed check at i: at most
// last + 1.
size_t after_miss(const Pattern &s, const unsigned char *p, size_t i,
                  size_t last) {
  i += s.last_shift;
  if (s.last_shift >= short_move || i > last) return i;
  // The match's last byte also stands just before its end (a boundary
  // ending in "--" or "=="): content dense in that byte would cost a failed
  // check every few bytes. The next occurrence begins with the match's
  // first byte: memchr finds it.
  const void *next = memchr(p + i, s.text[0], last - i + 1);
  if (next == nullptr) return last + 1;
  return static_cast<size_t>(static_cast<const unsigned char *>(next) - p);
}

// One window from i: the first occurrence that starts in [i, stop], or
// not_found. last is the last window start that p holds. Inline: each of a
// chunk's two tails would pay a call's setting up.
__attribute__((always_inline)) inline size_t scan(const Pattern &s,
                                                  const unsigned char *p,
                                                  size_t i, size_t stop,
                                                  size_t last) {
  const unsigned char *window_end = p + (s.len - 1);
  const uint8_t *shift = s.shift;
  // Below far, a round of moves stays inside the data. Rounds may take the
  // window past stop: a few wasted moves cost less than one at a time.
  const size_t reach = moves * s.max_shift, pair = 2 * s.max_shift;
  const size_t far = last > reach ? last - reach : 0;
  const size_t near = last > pair ? last - pair : 0;
  for (;;) {
    size_t k;
    while (i < far && i <= stop && (k = shift[window_end[i]]) != 0)
      for (size_t round = 0; round < moves; round++) {
        i += k;
        k = shift[window_end[i]];
      }
    // Near the end: two moves at a time, then one.
    while (i < near && i <= stop && (k = shift[window_end[i]]) != 0) {
      i += k;
      i += shift[window_end[i]];
    }
    while (i <= stop && (k = shift[window_end[i]]) != 0) i += k;
    if (i > stop) return not_found;
    if (matches_at(s, p, i)) return i;
    i = after_miss(s, p, i, last);
  }
}

// Two windows, one from the start and one from the middle, move in turn:
// each move's load waits for the add before it, and two independent chains
// keep the pipeline twice as busy as one.
size_t horspool(const Pattern &s, const unsigned char *p, size_t n) {
  const size_t m = s.len;
  if (n < m) return not_found;
  const size_t last = n - m;
  const size_t reach = moves * s.max_shift;
  // Short data: a second window would not earn its setting up.
  if (last < 4 * reach) return scan(s, p, 0, last, last);
  const unsigned char *window_end = p + (m - 1);
  const uint8_t *shift = s.shift;
  // Most parts of a form are short: a round of one window first.
  size_t a = 0, k = shift[window_end[0]];
  for (size_t round = 0; round < moves; round++) {
    a += k;
    k = shift[window_end[a]];
  }
  if (k == 0) {
    if (matches_at(s, p, a)) return a;
    a = after_miss(s, p, a, last);
  }
  // a searches [0, half), b [half, last]; a round of moves from below far
  // stays inside the data. a's round ahead is counted in, so that both
  // reach their bounds together.
  const size_t far = last - reach, half = (far + reach) / 2;
  size_t b = half;
  for (;;) {
    if (a >= half) return scan(s, p, b, last, last);
    if (b >= far) {
      const size_t from_b = scan(s, p, b, last, last);
      const size_t from_a = scan(s, p, a, half - 1, last);
      return from_a != not_found ? from_a : from_b;
    }
    // Rounds while both are below their bounds: a round from there may take
    // them past it, never out of the data. A window parked on a candidate
    // stays there. A candidate a finds past half is still the first
    // occurrence: a cleared all before it.
    size_t ka = shift[window_end[a]], kb = shift[window_end[b]];
    do {
      for (size_t round = 1; round < moves; round++) {
        a += ka;
        b += kb;
        ka = shift[window_end[a]];
        kb = shift[window_end[b]];
      }
      a += ka;
      b += kb;
      ka = shift[window_end[a]];
      kb = shift[window_end[b]];
    } while (a < half && b < far && ka * kb != 0);
    if (ka == 0) {
      if (matches_at(s, p, a)) return a;
      a = after_miss(s, p, a, last);
    }
    if (kb == 0) {
      if (matches_at(s, p, b)) {
        const size_t from_a = scan(s, p, a, half - 1, last);
        return from_a != not_found ? from_a : b;
      }
      b = after_miss(s, p, b, last);
    }
  }
}

// The scan by the prefix function: the first occurrence, or not_found with
// *tail the length of the longest tail of p[0, n) that begins the match.
size_t by_borders(const Pattern &s, const unsigned char *p, size_t n,
                  size_t *tail) {
  const auto *t = reinterpret_cast<const unsigned char *>(s.text);
  size_t k = 0;  // bytes of the match that the data before i ends with
  for (size_t i = 0; i < n; i++) {
    while (k > 0 && p[i] != t[k]) k = s.border[k - 1];
    if (p[i] == t[k] && ++k == s.len) return i + 1 - s.len;
  }
  *tail = k;
  return not_found;
}

}  // namespace

bool prepare(Pattern &p, const char *match, size_t len) {
  forget(p);
  const bool recurs = memchr(match + 1, match[0], len - 1) != nullptr;
  auto *text = static_cast<char *>(g_try_malloc(len + 1));
  auto *border = recurs ? g_try_new(size_t, len) : nullptr;
  if (text == nullptr || (recurs && border == nullptr)) {
    g_free(text);
    g_free(border);
    return false;
  }
  memcpy(text, match, len);
  text[len] = '\0';
  p.text = text;
  p.len = len;
  p.border = border;
  const size_t most = std::min<size_t>(len, UINT8_MAX);
  p.max_shift = most;
  memset(p.shift, static_cast<int>(most), sizeof p.shift);
  for (size_t i = 0; i + 1 < len; i++)
    p.shift[static_cast<unsigned char>(match[i])] =
        static_cast<uint8_t>(std::min(len - 1 - i, most));
  const auto last = static_cast<unsigned char>(match[len - 1]);
  p.last_shift = p.shift[last];
  p.shift[last] = 0;
  if (border != nullptr) {
    border[0] = 0;
    for (size_t i = 1, k = 0; i < len; i++) {
      while (k > 0 && match[i] != match[k]) k = border[k - 1];
      if (match[i] == match[k]) k++;
      border[i] = k;
    }
  }
  return true;
}

void forget(Pattern &p) {
  g_free(p.text);
  g_free(p.border);
  p = Pattern{};
}

size_t find(const Pattern &p, const unsigned char *data, size_t n) {
  if (p.border == nullptr) return horspool(p, data, n);
  size_t tail;
  return by_borders(p, data, n, &tail);
}

// Only candidates starting with the match's first byte are compared; with
// that byte recurring in the match, the prefix function walks the tail.
size_t tail_prefix(const Pattern &p, const unsigned char *data, size_t n) {
  const size_t m = p.len;
  const size_t from = n > m - 1 ? n - (m - 1) : 0;
  if (p.border != nullptr) {
    size_t tail = 0;
    by_borders(p, data + from, n - from, &tail);
    return tail;
  }
  const unsigned char first = static_cast<unsigned char>(p.text[0]);
  const unsigned char *stop = data + n;
  for (const unsigned char *c = data + from; c < stop; ++c) {
    c = static_cast<const unsigned char *>(
        memchr(c, first, static_cast<size_t>(stop - c)));
    if (c == nullptr) break;
    const size_t tail = static_cast<size_t>(stop - c);
    if (memcmp(c, p.text, tail) == 0) return tail;
  }
  return 0;
}

}  // namespace search
