#include "intake.h"

#include <errno.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "../../common/fail.h"
#include "search.h"

namespace {

using search::not_found;

// Room past the working buffer for what a read straight into a caller's
// scratch buffer brings beyond it (see read_direct).
constexpr size_t lookahead = UINT8_MAX;

// What the search knows about one match, so that callers taking small
// chunks do not make the search quadratic. Stream offsets (not buffer
// indices), so that compacting the buffer never invalidates them; they never
// exceed `limit`, so they fit size_t on 32-bit systems too.
struct Search {
  search::Pattern pattern;  // pattern.text is null while the slot is unused
  size_t clear_until;       // no occurrence starts before this stream offset
  size_t match_at;  // stream offset of the next occurrence, or not_found
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
  // Reads straight into a caller's scratch buffer left that also read ahead
  // (see read_direct).
  unsigned ahead_reads;
  // Not on the stack: an array there costs each search the stack
  // protector's check.
  struct iovec parts[2];
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
// limit is reached. Inline: it runs once a chunk.
__attribute__((always_inline)) inline ssize_t read_body(
    void *to, size_t want, void *more = nullptr, size_t ahead = 0,
    GError **error = nullptr) {
  const size_t left = st.limit - st.received;
  want = std::min(want, left);
  ahead = std::min(ahead, left - want);
  if (want + ahead == 0) return 0;
  ssize_t n;
  do {
    if (ahead == 0) {
      n = read(st.fd, to, want);
    } else {
      st.parts[0] = {to, want};
      st.parts[1] = {more, ahead};
      n = readv(st.fd, st.parts, 2);
    }
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

// One read(2) of at most `most` bytes into the free end of the buffer, after
// moving the unread bytes to its front.
gboolean refill(GError **error, size_t most = SIZE_MAX) {
  if (st.start > 0) {
    size_t unread = st.end - st.start;
    if (unread > 0) memmove(st.buf, st.buf + st.start, unread);
    st.base += st.start;
    st.end = unread;
    st.start = 0;
  }
  ssize_t n = read_body(st.buf + st.end, std::min(st.capacity - st.end, most),
                        nullptr, 0, error);
  if (n < 0) return FALSE;
  st.end += static_cast<size_t>(n);
  return TRUE;
}

// The slot not in use (the older one).
Search &other_slot() {
  return st.search == &st.searches[0] ? st.searches[1] : st.searches[0];
}

// The slot kept for `match`, made the one in use; or null. A match is known
// by its text, never by where the caller keeps it: a caller may build its
// matches in one buffer, or change one in place.
Search *known_search(const char *match) {
  // The slot in use always holds a match.
  if (st.search != nullptr && strcmp(match, st.search->pattern.text) == 0)
    return st.search;
  Search &other = other_slot();
  if (other.pattern.text == nullptr || strcmp(match, other.pattern.text) != 0)
    return nullptr;
  st.search = &other;
  return &other;
}

// A fresh slot for `match`, in place of the older one; null on failure.
Search *new_search(const char *match, GError **error) G_GNUC_NO_INLINE;

Search *new_search(const char *match, GError **error) {
  const size_t m = strlen(match);
  if (m == 0 || m >= st.capacity) {
    fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
         "Match of %zu bytes must be 1 to %zu bytes long", m, st.capacity - 1);
    return nullptr;
  }
  Search &s = other_slot();
  s.clear_until = 0;
  s.match_at = not_found;
  if (search::prepare(s.pattern, match, m)) return &s;
  fail(error, INTAKE_ERROR, INTAKE_ERROR_NO_MEMORY,
       "Cannot allocate the search for a match of %zu bytes", m);
  return nullptr;
}

// Stream offset up to which the unread bytes can be delivered: the next
// occurrence of the match, or the point past which an occurrence may still
// be completed by data not yet read.
size_t deliverable_until(Search &s) {
  const size_t pos = st.base + st.start;
  const size_t stream_end = st.base + st.end;
  if (s.match_at != not_found && s.match_at >= pos) return s.match_at;
  s.match_at = not_found;
  if (s.clear_until > pos) return s.clear_until;
  const size_t from = std::max(s.clear_until, pos) - st.base;
  const size_t hit = search::find(s.pattern, st.buf + from, st.end - from);
  if (hit != not_found) {
    s.match_at = st.base + from + hit;
    s.clear_until = s.match_at;
    return s.match_at;
  }
  // At the end of the stream a partial occurrence can never complete.
  s.clear_until = st.exhausted
                      ? stream_end
                      : stream_end - search::held_tail(s.pattern, st.buf + from,
                                                       st.end - from);
  return s.clear_until;
}

// One read straight into the caller's scratch dest (room bytes there),
// searched where it landed, for a caller whose buffer holds a working
// buffer's worth: the content is never copied on its way through. The few
// unread bytes (fewer than a match: they may begin one) go first. What
// follows a match in dest, or may begin one at its end, moves into the
// buffer. Such a possible beginning is the one thing that takes another
// read, and a smaller one, before the next call can read straight again;
// content dense in them (near-copies of a delimiter) would double the reads.
// So once one is seen, the next few reads also go on past dest into the
// buffer by a match's length (readv(2), dearer than read(2) by a tenth or
// so), and the beginning is told from content without another read. The
// buffer holds at most its size and that lookahead. Returns the bytes
// delivered, or -1. Inline: as a call of its own, it set up and spilled
// what its caller had in registers, once a chunk.
constexpr unsigned reads_ahead = 4;  // after a possible beginning at the end
__attribute__((always_inline)) inline ssize_t read_direct(Search &s,
                                                          unsigned char *dest,
                                                          size_t room,
                                                          GError **error) {
  const size_t unread = st.end - st.start;
  const size_t pos = st.base + st.start;
  if (unread > 0) memcpy(dest, st.buf + st.start, unread);
  const ssize_t got = read_body(
      dest + unread, std::min(room, st.capacity) - unread, st.buf,
      st.ahead_reads > 0 ? std::min(s.pattern.len - 1, lookahead) : 0, error);
  if (got < 0) return -1;
  const size_t n =
      std::min(unread + static_cast<size_t>(got), std::min(room, st.capacity));
  const size_t ahead = unread + static_cast<size_t>(got) - n;
  size_t keep = search::find(s.pattern, dest, n);
  s.match_at = keep == not_found ? not_found : pos + keep;
  if (st.ahead_reads > 0) st.ahead_reads--;
  if (keep == not_found && !(st.exhausted && ahead == 0)) {
    const size_t held = search::held_tail(s.pattern, dest, n);
    if (held > 0) st.ahead_reads = reads_ahead;
    keep = n - held;
  } else if (keep == not_found) {
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

// A search refused before it began: nothing is delivered.
int refused(size_t *length) {
  if (length != nullptr) *length = 0;
  return -1;
}

// What both searches do first: the tests of their arguments, and the slot
// of their match made the one in use. Null, with the error set, on failure.
inline Search *begin_search(const char *match, void *dest, size_t size,
                            size_t *length, GError **error) {
  if (!check_ready(error)) return nullptr;
  if (match == nullptr || dest == nullptr || length == nullptr || size == 0) {
    fail(error, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
         "Search needs a match, a buffer of at least one byte and a "
         "length location");
    return nullptr;
  }
  // Callers take a part in many calls with the same match: what the search
  // knows about it is kept (see Search).
  Search *search = known_search(match);
  if (search == nullptr && (search = new_search(match, error)) != nullptr)
    st.search = search;
  return search;
}

// The search from where it stands, `delivered` bytes already in out: a
// scratch dest takes the reads itself (read_direct), any other only copies.
// On failure too, *length says what out holds: the broken stream's bytes
// copied before it broke.
template <bool scratch>
int search_on(Search &search, unsigned char *out, size_t size, size_t delivered,
              size_t *length, GError **error) {
  *length = delivered;
  for (;;) {
    // Fewer unread bytes than a match: no match is known in them, and more
    // must be read.
    const size_t unread = st.end - st.start;
    if (scratch && unread < search.pattern.len && !st.exhausted &&
        size >= st.capacity && size - delivered > unread) {
      const ssize_t n =
          read_direct(search, out + delivered, size - delivered, error);
      if (n < 0) return -1;
      delivered += static_cast<size_t>(n);
      *length = delivered;
      if (delivered == size || search.match_at == st.base) break;
      continue;
    }
    if (unread == 0) {
      if (st.exhausted) break;
      // Chunks of a working buffer's size: reading only what this one
      // lacks lines the reads up with the chunks, each then one read, one
      // search and one copy.
      const bool align = delivered > 0 && size % st.capacity == 0;
      if (!refill(error, align ? size - delivered : SIZE_MAX)) return -1;
    }
    const size_t pos = st.base + st.start;
    const size_t until = deliverable_until(search);
    if (until == pos) {
      if (search.match_at == pos) break;  // standing at the match
      if (st.exhausted) break;        // cannot happen: see deliverable_until
      if (!refill(error)) return -1;  // only a possible prefix is buffered
      continue;
    }
    size_t n = std::min(until - pos, size - delivered);
    memcpy(out + delivered, st.buf + st.start, n);
    delivered += n;
    *length = delivered;
    st.start += n;
    if (delivered == size || search.match_at == st.base + st.start) break;
  }
  return delivered == 0 && st.start == st.end && st.exhausted ? 0 : 1;
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
    return fail(error, INTAKE_ERROR, INTAKE_ERROR_NO_MEMORY,
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
  for (Search &s : st.searches) search::forget(s.pattern);
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
  // and a leaner call than the loop that takes a line in pieces.
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
  Search *search = begin_search(match, dest, size, length, error);
  if (search == nullptr) return refused(length);
  return search_on<false>(*search, static_cast<unsigned char *>(dest), size, 0,
                          length, error);
}

int intake_read_until_match_scratch(const char *match, void *dest, size_t size,
                                    size_t *length, GError **error) {
  Search *search = begin_search(match, dest, size, length, error);
  if (search == nullptr) return refused(length);
  auto *out = static_cast<unsigned char *>(dest);
  // Each chunk of an upload: one read straight into dest, and done.
  if (st.end - st.start < search->pattern.len && !st.exhausted &&
      size >= st.capacity) {
    const ssize_t n = read_direct(*search, out, size, error);
    if (n < 0) {
      *length = 0;
      return -1;
    }
    *length = static_cast<size_t>(n);
    if (*length == size || search->match_at == st.base) return 1;
    return search_on<true>(*search, out, size, *length, length, error);
  }
  return search_on<true>(*search, out, size, 0, length, error);
}

}  // extern "C"
