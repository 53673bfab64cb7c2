/* mpread: read a multipart/form-data POST request, file uploads included,
 * from the standard input of a CGI program, in bounded memory.
 *
 * Calling order:
 *   mpread_init();
 *   while ((next = mpread_get_next_part(&part, &error)) != 0) {
 *     if (next < 0) { report and clear error; continue; }  (a part, not the form)
 *     take the content: mpread_get_part_buffer() until it gives a length of 0,
 *       or mpread_write_part_to_file() once (or leave it: the next call skips it);
 *     mpread_release_part(&part);
 *   }
 * Going on after -1 is safe: a body that cannot be read on ends the walk
 * with 0 on the call after its -1.
 *   mpread_release();
 *
 * Every function that can fail takes a GError location last (NULL when no
 * details are wanted). Errors of the library are in MPREAD_ERROR; errors of
 * the request components come through with their own domain, sometimes with
 * a prefix naming the step that failed.
 *
 * Not thread-safe: one request per process, driven from one thread.
 */
#ifndef MPREAD_H
#define MPREAD_H

#include <stddef.h>
#include <glib.h>

G_BEGIN_DECLS

#if defined(__GNUC__)
#define MPREAD_API __attribute__((visibility("default")))
#else
#define MPREAD_API
#endif

/* The library's error domain. Any quark of the string "mpread" is it, so the
 * library needs to export no function for it. */
#define MPREAD_ERROR (g_quark_from_static_string("mpread"))

typedef enum {
  MPREAD_ERROR_NOT_INITIALIZED = 1, /* called before mpread_init succeeded */
  MPREAD_ERROR_UNSUPPORTED_METHOD = 2, /* REQUEST_METHOD is not "POST" */
  MPREAD_ERROR_NO_BOUNDARY = 3,     /* CONTENT_TYPE has no boundary */
  MPREAD_ERROR_BOUNDARY_TOO_LONG = 4, /* boundary over 70 characters */
  MPREAD_ERROR_BAD_START = 5,       /* body does not begin with the delimiter */
  MPREAD_ERROR_NULL_PART = 6,       /* NULL part record */
  MPREAD_ERROR_DUPLICATE_HEADER = 7, /* Content-Disposition or -Type twice */
  MPREAD_ERROR_NO_DISPOSITION = 8,  /* part without Content-Disposition */
  MPREAD_ERROR_NO_NAME = 9,         /* name parameter absent or empty */
  MPREAD_ERROR_INVALID_FILENAME = 10, /* filename parameter present but empty */
  MPREAD_ERROR_INVALID_MIME = 11,   /* Content-Type with an empty value */
  MPREAD_ERROR_NOT_AT_CONTENT = 12, /* content is not (or no longer) available */
  MPREAD_ERROR_INVALID_FD = 13,     /* negative or closed descriptor */
  MPREAD_ERROR_WRITE_FAILED = 14,   /* write(2) failed; message names errno */
  MPREAD_ERROR_CONTENT_UNTERMINATED = 15 /* body ended inside the content */
} MpreadError;

/* One part of the form. The caller owns the record (zero it before first
 * use); the strings are allocated by mpread_get_next_part() and freed by
 * mpread_release_part(). */
typedef struct {
  char *name;     /* field name: never NULL or empty after a successful read */
  char *mime;     /* media type of the part's Content-Type, or NULL */
  char *filename; /* client's file name without any directory part, or NULL
                     when the part is no file; may be "" (e.g. "dir/", "..").
                     Still untrusted: never use it as a path as it stands. */
} MpreadPart;

/* Takes up the current CGI request: REQUEST_METHOD must be "POST",
 * CONTENT_LENGTH set, CONTENT_TYPE must carry a boundary of at most 70
 * characters, and standard input must begin with "--" and the boundary.
 * Reads nothing of the body but a peek at its first bytes.
 * Returns TRUE when the library is initialised (also when it already was:
 * then nothing is examined again), FALSE with error set otherwise. */
MPREAD_API gboolean mpread_init(GError **error) G_GNUC_WARN_UNUSED_RESULT;

/* Ends the use of the request; harmless when not initialised. */
MPREAD_API void mpread_release(void);

/* Moves to the next part and fills *part (which must be empty: release it
 * after each use). Content of the previous part that was not taken is
 * skipped, however long. Returns 1 when a part was read, 0 when the form has
 * no further part (closing delimiter or end of body; later calls return 0
 * too), -1 on failure. After -1 the walk may go on with the next call. */
MPREAD_API int mpread_get_next_part(MpreadPart *part,
                                    GError **error) G_GNUC_WARN_UNUSED_RESULT;

/* Frees the strings of *part and sets them to NULL; NULL is ignored. */
MPREAD_API void mpread_release_part(MpreadPart *part);

/* Delivers the next chunk of the current part's content: up to size bytes
 * into buffer, their count in *length. Returns 1 with *length > 0 while
 * content remains, 1 with *length == 0 once it is complete (and again on
 * every further call), 0 when the body ended inside the content, -1 on
 * failure (e.g. MPREAD_ERROR_NOT_AT_CONTENT). Any byte values may occur. */
MPREAD_API int mpread_get_part_buffer(void *buffer, size_t size,
                                      size_t *length,
                                      GError **error) G_GNUC_WARN_UNUSED_RESULT;

/* Writes the whole content of the current part to fd, which the caller
 * opened and keeps (not positioned, flushed or closed here). Short writes
 * are continued and EINTR retried. Only right after mpread_get_next_part():
 * once any content was taken, MPREAD_ERROR_NOT_AT_CONTENT. Returns TRUE when
 * all content was written, FALSE with error set otherwise; after a failed
 * write the part cannot be taken again (the next part can). When the body
 * ends inside the content (no end marker), what there was is written and
 * the result is FALSE with MPREAD_ERROR_CONTENT_UNTERMINATED: remove the
 * file, it is not the whole upload. */
MPREAD_API gboolean mpread_write_part_to_file(int fd, GError **error)
    G_GNUC_WARN_UNUSED_RESULT;

G_END_DECLS

#endif /* MPREAD_H */
