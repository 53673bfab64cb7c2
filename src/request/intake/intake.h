/* intake: the request-body buffer. One process-wide buffer (no handle) over
 * a descriptor, reading at most `limit` bytes from it in all, one read(2)
 * (or readv(2)) per refill of its working buffer or per search read straight
 * into a caller's scratch buffer. Every read of a request body goes through
 * it. Not thread-safe. */
#ifndef INTAKE_H
#define INTAKE_H

#include <stddef.h>
#include <glib.h>

G_BEGIN_DECLS

#if defined(__GNUC__)
#define INTAKE_API __attribute__((visibility("default")))
#else
#define INTAKE_API
#endif

#define INTAKE_ERROR (g_quark_from_static_string("intake"))

typedef enum {
  INTAKE_ERROR_INVALID_ARGUMENT = 1, /* size 0, NULL pointer, match too long */
  INTAKE_ERROR_NOT_INITIALIZED,      /* used before intake_init */
  INTAKE_ERROR_READ,                 /* read(2) failed */
  INTAKE_ERROR_TRUNCATED,            /* descriptor ended before `limit` bytes */
  INTAKE_ERROR_LINE_TOO_LONG,        /* line does not fit `size` with its NUL */
  INTAKE_ERROR_LINE_HAS_NUL,         /* line holds a NUL byte */
  INTAKE_ERROR_NO_MEMORY             /* an allocation failed */
} IntakeError;

/* Starts reading fd through a working buffer of buffer_size bytes, at most
 * limit bytes in all. A second call starts afresh (what the earlier one
 * held is freed; bytes it had read are gone). */
INTAKE_API gboolean intake_init(int fd, size_t buffer_size, size_t limit,
                                GError **error);

/* Copies the next count bytes (count at most the working-buffer size) into
 * dest without consuming them. Near the end of the stream fewer may be
 * there: *length (when not NULL) says how many were copied. */
INTAKE_API gboolean intake_peek(void *dest, size_t count, size_t *length,
                                GError **error);

/* Consumes one line, its ending included (a line ends at LF, so CR LF and a
 * bare LF both end one; the last line may have none), and stores it in dest
 * NUL-terminated. Returns 1 for a line, 0 when nothing is left (and on every
 * later call), negative on failure. A line that does not fit size bytes with
 * its NUL, or that holds a NUL byte, is consumed through its ending and
 * refused with an error, so that reading can go on with the next line.
 * length may be NULL. */
INTAKE_API int intake_read_line(char *dest, size_t size, size_t *length,
                                GError **error);

/* Consumes the bytes before the next occurrence of match and copies up to
 * size of them into dest (no terminator); *length is their count. Returns 1
 * with *length > 0 while such bytes remain, 1 with *length == 0 when the
 * stream stands at match (never consumed), 0 when nothing is left,
 * negative on failure. A call that delivers fewer than size bytes leaves
 * the stream at the match or at its end, so a search for a suffix of the
 * match reaches that suffix within one call. Only dest[0, *length) is ever
 * written, and *length (when not NULL) is set on every return: 0 with a
 * result of 0, and on a failure the bytes copied before the stream broke.
 * A match is known by its text, wherever the caller keeps it; what the
 * search learnt of the last two is kept between calls. Linear in the bytes
 * scanned, whatever they are. */
INTAKE_API int intake_read_until_match(const char *match, void *dest,
                                       size_t size, size_t *length,
                                       GError **error);

/* The same search for a caller whose dest is scratch space of its own:
 * dest[*length, size) may be overwritten too, with bytes that follow the
 * delivered ones in the stream. In return, when the working buffer holds
 * fewer unread bytes than the match and size is at least the working-buffer
 * size, the body is read straight into dest and never copied. */
INTAKE_API int intake_read_until_match_scratch(const char *match, void *dest,
                                               size_t size, size_t *length,
                                               GError **error);

/* Frees the buffer; harmless when not initialised. */
INTAKE_API void intake_release(void);

G_END_DECLS

#endif /* INTAKE_H */
