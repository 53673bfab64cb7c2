/* Delivering the answer: writing it while draining the body.
 *
 * Apache's mod_cgid and fcgiwrap (under nginx) write the whole request body
 * to the handler before they read its answer. A handler that answers early
 * (405, 411, 413, 500, a 400 mid-form) and exits leaves them writing to a
 * closed pipe: Apache then drops the answer (the client gets an empty
 * reply), fcgiwrap answers 502 of its own. So the rest of the body is read
 * and thrown away once the answer is written, bounded by the drain setting
 * and the time limits; past the bound it is not worth starting, since a
 * part of the body read gets no answer through either.
 *
 * The answer is written while the body is read, not before: a long answer
 * (a 413 listing a thousand files) fills the pipe to the server, which
 * reads it only once it has written the body. Standard output stays open
 * until the body is read: busybox httpd ends the connection when the
 * answer ends, and with body bytes still unread it resets it, which loses
 * the answer for a client still sending. */
#include "deliver.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include "signals.h"

/* busybox httpd gives a chunked body no input at all and resets the
 * connection when the handler's answer ends, the body unread: a client
 * still sending loses the answer unless it has read it by then. */
enum { LINGER_MS = 250 };

typedef enum { DRAIN_NONE, DRAIN_DECLARED, DRAIN_UNDECLARED } Drain;

/* What the library buffered of the body is simply dropped: the drain reads
 * standard input to its end rather than counting what is left. */
static Drain drain_wanted(const Settings *s) {
  /* A terminal is no server: a person trying the handler by hand. */
  if (!s->cgi || s->drain_bytes == 0 || isatty(0)) return DRAIN_NONE;
  const char *text = g_getenv("CONTENT_LENGTH");
  const char *method = g_getenv("REQUEST_METHOD");
  guint64 length;
  /* No length: a chunked body passed on as it came, up to the bound; but
   * GET and HEAD carry none. */
  if (text == NULL ||
      !g_ascii_string_to_unsigned(text, 10, 0, G_MAXUINT64, &length, NULL))
    return g_strcmp0(method, "GET") == 0 || g_strcmp0(method, "HEAD") == 0
               ? DRAIN_NONE
               : DRAIN_UNDECLARED;
  return length > 0 && length <= s->drain_bytes ? DRAIN_DECLARED : DRAIN_NONE;
}

/* How long the next wait may be: the shorter of what is left of the idle
 * and total limits; -1 without any, 0 when one has run out. */
static int wait_ms(const Settings *s, guint64 idle_since_ms) {
  guint64 now = ms_since_start(), left = G_MAXUINT64;
  if (s->idle_seconds != 0) {
    guint64 idle = s->idle_seconds * 1000, idle_for = now - idle_since_ms;
    left = idle_for >= idle ? 0 : idle - idle_for;
  }
  if (s->total_seconds != 0) {
    guint64 total = s->total_seconds * 1000;
    left = MIN(left, now >= total ? 0 : total - now);
  }
  return left == G_MAXUINT64 ? -1 : (int)MIN(left, (guint64)INT_MAX);
}

void deliver(const GString *answer, const Settings *s) {
  Drain drain = drain_wanted(s);
  if (drain == DRAIN_NONE) {
    write_all(1, answer->str, answer->len);
    return;
  }
  const char *out = answer->str;
  size_t out_left = answer->len;
  guint64 drained = 0;
  gboolean draining = TRUE;
  guint64 progress_ms = ms_since_start(), answered_ms = 0;
  char buffer[64 * 1024];
  while (out_left > 0 || draining) {
    struct pollfd fds[2] = {{.fd = out_left > 0 ? 1 : -1, .events = POLLOUT},
                            {.fd = draining ? 0 : -1, .events = POLLIN}};
    int timeout = wait_ms(s, progress_ms);
    int n = timeout == 0 ? 0 : poll(fds, 2, timeout);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; /* a time limit ran out: the answer stands as sent */
    if (fds[0].revents != 0) {
      /* At most PIPE_BUF once the pipe or socket takes more: never blocks. */
      ssize_t w = write(1, out, MIN(out_left, (size_t)PIPE_BUF));
      if (w < 0 && errno != EINTR && errno != EAGAIN) break;
      if (w > 0) {
        out += w;
        out_left -= (size_t)w;
        progress_ms = answered_ms = ms_since_start();
      }
    }
    if (fds[1].revents != 0) {
      ssize_t r = read(0, buffer, sizeof buffer);
      if (r < 0 && errno != EINTR && errno != EAGAIN) draining = FALSE;
      if (r == 0) draining = FALSE;
      if (r > 0) {
        drained += (guint64)r;
        progress_ms = ms_since_start();
        if (drained >= s->drain_bytes) draining = FALSE;
      }
    }
  }
  guint64 since = ms_since_start() - answered_ms;
  if (drain == DRAIN_UNDECLARED && out_left == 0 && since < LINGER_MS)
    g_usleep((gulong)(LINGER_MS - since) * 1000);
}
