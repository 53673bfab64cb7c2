#include "intake.h"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "../../common/fail.h"

namespace {

constexpr size_t no_match = SIZE_MAX;
// Room past the working buffer for what a read straight into a caller's
// buffer brings beyond it (see read_direct).
constexpr size_t lookahead = UINT8_MAX;

// What the search knows about one match string, so that callers taking
// small chunks do not make the search quadratic. Stream offsets (not buffer
// indices), so that compacting the buffer never invalidates them; they never
// exceed `limit`, so they fit size_t on 32-bit systems too.
struct Search {
  const char *source;  // the caller's string it was last asked for by
  char *match;         // NUL-terminated copy; null while the slot is unused
  size_t match_len;
  // Horspool's table for the match: how far a window may move when its last
  // byte is the index (0 for the match's own last byte, whose move is
  // last_shift). Capped at 255: a shorter move is always safe.
  uint8_t shift[256];
  size_t last_shift;
  size_t max_shift;    // the longest move in the table
  size_t clear_until;  // no occurrence starts before this stream offset
  size_t match_at;     // stream offset of the next occurrence, or no_match
};

struct Intake {
  bool ready;
  int fd;
  size_t capacity;
  size_t limit;
  size_t received;  // bytes read from fd so far
  unsigned char *buf;
  size_t start, end;  // unread bytes are buf[start, end)
  size_t base;        // stream offset of buf[0]
  bool exhausted;     // limit reached: nothing more will be read
  GError *failure;    // sticky: once the stream broke, every read says so
  // A form reader alternates two matches, the delimiter between parts and
  // the end marker within one: both are kept, the older one is replaced.
  Search searches[2];
  Search *search;  // the one in use; null before the first search
  // Reads straight into a caller's buffer left that also read ahead (see
  // read_direct).
  unsigned ahead_reads;
};

Intake st;  // plain data, zero-initialised: no constructor runs at load

gboolean refuse(GError **error) G_GNUC_NO_INLINE;

// Every call starts here: the common case costs one test.
inline gboolean check_ready(GError **error) {
  if (G_LIKELY(st.ready && st.failure == nullptr)) return TRUE;
  return refuse(error);
}

gboolean refuse(GError **error) {
  if (!st.ready)
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_NOT_INITIALIZED,
                "The request body buffer is not initialized");
  if (error != nullptr) g_propagate_error(error, g_error_copy(st.failure));
  return FALSE;
}

void set_failure(GError **error, IntakeError code, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);

void set_failure(GError **error, IntakeError code, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  st.failure = g_error_new_valist(INTAKE_ERROR, code, fmt, ap);
  va_end(ap);
  if (error != nullptr) g_propagate_error(error, g_error_copy(st.failure));
}

// One read of at most want bytes into to and then at most ahead bytes into
// more (readv(2) when both are asked for), never past the limit; 0 when the
// limit is reached. Inline: as a call it cost 11 instructions a chunk (W1).
__attribute__((always_inline)) inline ssize_t read_body(
    void *to, size_t want, void *more = nullptr, size_t ahead = 0,
    GError **error = nullptr) {
  const size_t left = st.limit - st.received;
  want = std::min(want, left);
  ahead = std::min(ahead, left - want);
  if (want + ahead == 0) return 0;
  struct iovec parts[2] = {{to, want}, {more, ahead}};
  ssize_t n;
  do {
    n = ahead == 0 ? read(st.fd, to, want) : readv(st.fd, parts, 2);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int saved = errno;
    set_failure(error, INTAKE_ERROR_READ,
                "Reading the request body failed after %zu of %zu bytes: %s",
                st.received, st.limit, g_strerror(saved));
    return -1;
  }
  if (n == 0) {
    // A client that dropped mid-upload must not look like a complete body.
    set_failure(error, INTAKE_ERROR_TRUNCATED,
                "Request body ended after %zu of %zu bytes", st.received,
                st.limit);
    return -1;
  }
  st.received += static_cast<size_t>(n);
  if (st.received == st.limit) st.exhausted = true;
  return n;
}

// One read(2) into the free end of the buffer, after moving the unread bytes
// to its front.
gboolean refill(GError **error) {
  if (st.start > 0) {
    size_t unread = st.end - st.start;
    if (unread > 0) memmove(st.buf, st.buf + st.start, unread);
    st.base += st.start;
    st.end = unread;
    st.start = 0;
  }
  ssize_t n =
      read_body(st.buf + st.end, st.capacity - st.end, nullptr, 0, error);
  if (n < 0) return FALSE;
  st.end += static_cast<size_t>(n);
  return TRUE;
}

bool same_match(const char *match, const Search &s) {
  // The first byte tells a form's two matches apart without a call.
  return s.match != nullptr && match[0] == s.match[0] &&
         strcmp(match, s.match) == 0;
}

// The slot kept for `match`, or null. A caller passes the same string on
// every call of a part: its address finds the slot without reading it.
Search *known_search(const char *match) {
  Search *s = st.search;
  if (s != nullptr && s->source == match) return s;
  for (Search &t : st.searches)
    if (t.source == match || same_match(match, t)) {
      t.source = match;
      return &t;
    }
  return nullptr;
}

// A fresh slot for `match`, of length len: the one not used last.
Search *new_search(const char *match, size_t len) {
  Search &s = st.search == &st.searches[0] ? st.searches[1] : st.searches[0];
  g_free(s.match);
  s.source = match;
  s.match = g_strndup(match, len);
  s.match_len = len;
  s.clear_until = 0;
  s.match_at = no_match;
  const size_t most = std::min<size_t>(len, UINT8_MAX);
  s.max_shift = most;
  memset(s.shift, static_cast<int>(most), sizeof s.shift);
  for (size_t i = 0; i + 1 < len; i++)
    s.shift[static_cast<unsigned char>(match[i])] =
        static_cast<uint8_t>(std::min(len - 1 - i, most));
  const auto last = static_cast<unsigned char>(match[len - 1]);
  s.last_shift = s.shift[last];
  s.shift[last] = 0;
  return &s;
}

// Horspool's search: a window moves by how far its last byte stands from
// the end of the match, so ordinary content is passed a match length at a
// time, and a near-miss costs one memcmp, whatever the bytes. The table
// gives the match's last byte no move, so a window parks on a candidate and
// several moves can go between two checks.
constexpr size_t moves = 8;       // moves of a window between two checks
constexpr size_t short_move = 8;  // below it, a memchr costs less than moves

// The first byte is tested before memcmp is called: 8 instructions a chunk
// (W1), where a window parks on a candidate about every other chunk.
bool matches_at(const Search &s, const unsigned char *p, size_t i) {
  return p[i] == static_cast<unsigned char>(s.match[0]) &&
         memcmp(p + i, s.match, s.match_len - 1) == 0;
}

// Where the next window may start after a failed check at i: at most
// last + 1.
size_t after_miss(const Search &s, const unsigned char *p, size_t i,
                  size_t last) {
  i += s.last_shift;
  if (s.last_shift >= short_move || i > last) return i;
  // The match's last byte also stands just before its end (a boundary
  // ending in "--" or "=="): content dense in that byte would cost a failed
  // check every few bytes. The next occurrence begins with the match's
  // first byte: memchr finds it.
  const void *next = memchr(p + i, s.match[0], last - i + 1);
  if (next == nullptr) return last + 1;
  return static_cast<size_t>(static_cast<const unsigned char *>(next) - p);
}

// One window from i: the first occurrence that starts in [i, stop], or
// no_match. last is the last window start that p holds.
// Inline: as a call, its setting up for each of a chunk's two tails cost 35
// instructions a chunk (W1).
__attribute__((always_inline)) inline size_t scan(const Search &s,
                                                  const unsigned char *p,
                                                  size_t i, size_t stop,
                                                  size_t last) {
  const unsigned char *window_end = p + (s.match_len - 1);
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
    if (i > stop) return no_match;
    if (matches_at(s, p, i)) return i;
    i = after_miss(s, p, i, last);
  }
}

// Index of the first occurrence of the match in p[0, n), or no_match. Two
// windows, one from the start and one from the middle, move in turn: each
// move's load waits for the add before it, and two independent chains
// keep the pipeline twice as busy as one.
size_t find_in(const Search &s, const unsigned char *p, size_t n) {
  const size_t m = s.match_len;
  if (n < m) return no_match;
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
      return from_a != no_match ? from_a : from_b;
    }
    // Rounds while both are below their bounds: a round from there may take
    // them past it, never out of the data. A window parked on a candidate
    // stays there. (Counting the rounds ahead took two or three passes
    // through this loop a chunk, 40 instructions more, W1.) A candidate a
    // finds past half is still the first occurrence: a cleared all before it.
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
        return from_a != no_match ? from_a : b;
      }
      b = after_miss(s, p, b, last);
    }
  }
}

// Length of the longest tail of p[0, n) that is a proper prefix of the
// match: those bytes may begin an occurrence that the next read completes,
// so they are held back. Only candidates starting with the match's first
// byte are compared.
size_t prefix_at_end(const Search &s, const unsigned char *p,
                     size_t n) G_GNUC_NO_INLINE;

// A byte absent from all but the match's end cannot end a prefix of it: the
// test of that byte, inline, saves 18 instructions a chunk (W1).
inline size_t partial_tail(const Search &s, const unsigned char *p, size_t n) {
  if (n == 0 || s.shift[p[n - 1]] == s.match_len) return 0;
  return prefix_at_end(s, p, n);
}

size_t prefix_at_end(const Search &s, const unsigned char *p, size_t n) {
  const size_t m = s.match_len;
  const unsigned char first = static_cast<unsigned char>(s.match[0]);
  const unsigned char *stop = p + n;
  p += n > m - 1 ? n - (m - 1) : 0;
  while (p < stop) {
    p = static_cast<const unsigned char *>(
        memchr(p, first, static_cast<size_t>(stop - p)));
    if (p == nullptr) break;
    size_t tail = static_cast<size_t>(stop - p);
    if (memcmp(p, s.match, tail) == 0) return tail;
    ++p;
  }
  return 0;
}

// Stream offset up to which the unread bytes can be delivered: the next
// occurrence of the match, or the point past which an occurrence may still
// be completed by data not yet read.
size_t deliverable_until(Search &s) {
  const size_t pos = st.base + st.start;
  const size_t stream_end = st.base + st.end;
  if (s.match_at != no_match && s.match_at >= pos) return s.match_at;
  s.match_at = no_match;
  if (s.clear_until > pos) return s.clear_until;
  const size_t from = std::max(s.clear_until, pos) - st.base;
  const size_t hit = find_in(s, st.buf + from, st.end - from);
  if (hit != no_match) {
    s.match_at = st.base + from + hit;
    s.clear_until = s.match_at;
    return s.match_at;
  }
  // At the end of the stream a partial occurrence can never complete.
  s.clear_until =
      st.exhausted ? stream_end
                   : stream_end - partial_tail(s, st.buf + from, st.end - from);
  return s.clear_until;
}

// One read straight into the caller's dest (room bytes there), searched
// where it landed, for a caller whose buffer holds a working buffer's worth:
// the content is never copied on its way through. The few unread bytes
// (fewer than a match: they may begin one) go first. What follows a match
// in dest, or may begin one at its end, moves into the buffer. Such a
// possible beginning is the one thing that takes another read, and a
// smaller one, before the next call can read straight again; content dense
// in them (near-copies of a delimiter) would double the reads. So once one
// is seen, the next few reads also go on past dest into the buffer by a
// match's length (readv(2), dearer than read(2) by a tenth or so), and the
// beginning is told from content without another read. The buffer holds at
// most its size and that lookahead. Returns the bytes delivered, or -1.
constexpr unsigned reads_ahead = 4;  // after a possible beginning at the end
ssize_t read_direct(Search &s, unsigned char *dest, size_t room,
                    GError **error) {
  const size_t unread = st.end - st.start;
  const size_t pos = st.base + st.start;
  if (unread > 0) memcpy(dest, st.buf + st.start, unread);
  const ssize_t got = read_body(
      dest + unread, std::min(room, st.capacity) - unread, st.buf,
      st.ahead_reads > 0 ? std::min(s.match_len - 1, lookahead) : 0, error);
  if (got < 0) return -1;
  const size_t n =
      std::min(unread + static_cast<size_t>(got), std::min(room, st.capacity));
  const size_t ahead = unread + static_cast<size_t>(got) - n;
  size_t keep = find_in(s, dest, n);
  s.match_at = keep == no_match ? no_match : pos + keep;
  if (st.ahead_reads > 0) st.ahead_reads--;
  if (keep == no_match && !(st.exhausted && ahead == 0)) {
    const size_t held = partial_tail(s, dest, n);
    if (held > 0) st.ahead_reads = reads_ahead;
    keep = n - held;
  } else if (keep == no_match) {
    keep = n;  // at the end of the stream nothing can complete a match
  }
  s.clear_until = pos + keep;
  if (keep < n) {
    memmove(st.buf + (n - keep), st.buf, ahead);
    memcpy(st.buf, dest + keep, n - keep);
  }
  st.base = pos + keep;
  st.start = 0;
  st.end = n - keep + ahead;
  return static_cast<ssize_t>(keep);
}

// The end of every line read: the line, consumed and copied to dest, is
// refused when it holds a NUL, else terminated.
int line_read(char *dest, size_t line_len, size_t *length, GError **error) {
  if (memchr(dest, '\0', line_len) != nullptr) {
    fail(error, INTAKE_ERROR, INTAKE_ERROR_LINE_HAS_NUL,
         "Line contains a NUL byte");
    return -1;
  }
  dest[line_len] = '\0';
  if (length != nullptr) *length = line_len;
  return 1;
}

// A line that does not stand whole in the buffer, or does not fit dest.
int read_line_in_pieces(char *dest, size_t size, size_t *length,
                        GError **error) G_GNUC_NO_INLINE;

int read_line_in_pieces(char *dest, size_t size, size_t *length,
                        GError **error) {
  size_t line_len = 0;  // bytes of the line consumed, stored or not
  bool found_end = false;
  while (!found_end) {
    if (st.start == st.end) {
      if (st.exhausted) break;
      if (!refill(error)) return -1;
      continue;
    }
    const unsigned char *from = st.buf + st.start;
    size_t avail = st.end - st.start;
    const void *nl = memchr(from, '\n', avail);
    size_t take = avail;
    if (nl != nullptr) {
      take =
          static_cast<size_t>(static_cast<const unsigned char *>(nl) - from) +
          1;
      found_end = true;
    }
    // Pieces of an over-long line are never delivered as lines of their
    // own: they would be parsed as headers. It is consumed and refused.
    if (line_len + take <= size - 1) memcpy(dest + line_len, from, take);
    line_len += take;
    st.start += take;
  }
  if (line_len == 0) return 0;
  if (line_len > size - 1) {
    fail(error, INTAKE_ERROR, INTAKE_ERROR_LINE_TOO_LONG,
         "Line of %zu bytes exceeds the limit of %zu bytes", line_len,
         size - 1);
    return -1;
  }
  return line_read(dest, line_len, length, error);
}

}  // namespace

extern "C" {

gboolean intake_init(int fd, size_t buffer_size, size_t limit, GError **error) {
  if (fd < 0)
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
                "Invalid descriptor %d for the request body", fd);
  if (buffer_size < 2)
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
                "Working buffer of %zu bytes is too small", buffer_size);
  intake_release();
  st.buf =
      buffer_size > SIZE_MAX - lookahead
          ? nullptr
          : static_cast<unsigned char *>(g_try_malloc(buffer_size + lookahead));
  if (st.buf == nullptr)
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
                "Cannot allocate a working buffer of %zu bytes", buffer_size);
  st.ready = true;
  st.fd = fd;
  st.capacity = buffer_size;
  st.limit = limit;
  st.exhausted = limit == 0;
  return TRUE;
}

void intake_release(void) {
  g_free(st.buf);
  for (Search &s : st.searches) g_free(s.match);
  if (st.failure != nullptr) g_error_free(st.failure);
  st = Intake{};
}

gboolean intake_peek(void *dest, size_t count, size_t *length, GError **error) {
  if (!check_ready(error)) return FALSE;
  if (dest == nullptr && count > 0)
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
                "Peek into NULL");
  if (count > st.capacity)
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
                "Cannot peek %zu bytes through a working buffer of %zu bytes",
                count, st.capacity);
  while (st.end - st.start < count && !st.exhausted)
    if (!refill(error)) return FALSE;
  size_t n = std::min(count, st.end - st.start);
  if (n > 0) memcpy(dest, st.buf + st.start, n);
  if (length != nullptr) *length = n;
  return TRUE;
}

int intake_read_line(char *dest, size_t size, size_t *length, GError **error) {
  if (!check_ready(error)) return -1;
  if (dest == nullptr || size == 0) {
    fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
         "Line read needs a buffer of at least one byte");
    return -1;
  }
  // Nearly every line stands whole in the buffer: one search, one copy,
  // and a leaner call than the loop that takes a line in pieces (W2: 4
  // lines a part, 119 instructions a part less).
  const unsigned char *from = st.buf + st.start;
  const void *nl = memchr(from, '\n', st.end - st.start);
  if (nl == nullptr) return read_line_in_pieces(dest, size, length, error);
  const size_t line_len =
      static_cast<size_t>(static_cast<const unsigned char *>(nl) - from) + 1;
  if (line_len > size - 1)
    return read_line_in_pieces(dest, size, length, error);
  memcpy(dest, from, line_len);
  st.start += line_len;
  return line_read(dest, line_len, length, error);
}

int intake_read_until_match(const char *match, void *dest, size_t size,
                            size_t *length, GError **error) {
  if (!check_ready(error)) return -1;
  if (match == nullptr || dest == nullptr || length == nullptr || size == 0) {
    fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
         "Search needs a match, a buffer of at least one byte and a "
         "length location");
    return -1;
  }
  // Callers take a part in many calls with the same match: what the search
  // knows about it is kept (see Search).
  Search *search = known_search(match);
  if (search == nullptr) {
    const size_t m = strlen(match);
    if (m == 0 || m >= st.capacity) {
      fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
           "Match of %zu bytes must be 1 to %zu bytes long", m,
           st.capacity - 1);
      return -1;
    }
    search = new_search(match, m);
  }
  st.search = search;

  auto *out = static_cast<unsigned char *>(dest);
  size_t delivered = 0;
  for (;;) {
    // Fewer unread bytes than a match: no match is known in them, and more
    // must be read. A caller's buffer of a working buffer's size or more
    // takes the read itself.
    const size_t unread = st.end - st.start;
    if (unread < search->match_len && !st.exhausted && size >= st.capacity &&
        size - delivered > unread) {
      const ssize_t n =
          read_direct(*search, out + delivered, size - delivered, error);
      if (n < 0) return -1;
      delivered += static_cast<size_t>(n);
      if (delivered == size || search->match_at == st.base) break;
      continue;
    }
    if (unread == 0) {
      if (st.exhausted) break;
      if (!refill(error)) return -1;
    }
    const size_t pos = st.base + st.start;
    const size_t until = deliverable_until(*search);
    if (until == pos) {
      if (search->match_at == pos) break;  // standing at the match
      if (st.exhausted) break;        // cannot happen: see deliverable_until
      if (!refill(error)) return -1;  // only a possible prefix is buffered
      continue;
    }
    size_t n = std::min(until - pos, size - delivered);
    memcpy(out + delivered, st.buf + st.start, n);
    delivered += n;
    st.start += n;
    if (delivered == size || search->match_at == st.base + st.start) break;
  }
  if (delivered == 0 && st.start == st.end && st.exhausted) return 0;
  *length = delivered;
  return 1;
}

}  // extern "C"
