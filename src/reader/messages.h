// Every text the reader raises, one row each with its name and code: the
// library raises from this list only, and the manual's list is checked
// against it. Callers may match on the texts, odd wording included: keep
// them.
#ifndef MPREAD_READER_MESSAGES_H
#define MPREAD_READER_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#include "mpread.h"

// X(name, code, text). The prefixes at the end are put before an error
// another component raised (code 0 here: the error keeps its own domain and
// code).
#define MPREAD_MESSAGES(X)                                               \
  X(not_initialized, MPREAD_ERROR_NOT_INITIALIZED,                       \
    "Mpread has not been initialized")                                   \
  X(unsupported_method, MPREAD_ERROR_UNSUPPORTED_METHOD,                 \
    "Only the POST request method is supported for multipart/form-data") \
  X(no_boundary, MPREAD_ERROR_NO_BOUNDARY,                               \
    "No boundary set in the Content-Type")                               \
  X(boundary_too_long, MPREAD_ERROR_BOUNDARY_TOO_LONG,                   \
    "Boundary is too long max len %u actual length %zu")                 \
  X(bad_start, MPREAD_ERROR_BAD_START,                                   \
    "Request does not start with the boundary line")                     \
  X(null_part, MPREAD_ERROR_NULL_PART,                                   \
    "Null form data part struct is not allowed")                         \
  X(duplicate_disposition, MPREAD_ERROR_DUPLICATE_HEADER,                \
    "Form data part contain duplicate Content-Disposition headers")      \
  X(duplicate_type, MPREAD_ERROR_DUPLICATE_HEADER,                       \
    "Form data part contain duplicate Content-Type headers")             \
  X(no_disposition, MPREAD_ERROR_NO_DISPOSITION,                         \
    "Form data part does not contain a Content-Disposition")             \
  X(no_name, MPREAD_ERROR_NO_NAME, "Form data part name is not set")     \
  X(invalid_filename, MPREAD_ERROR_INVALID_FILENAME,                     \
    "Form data part contains a invalid filename")                        \
  X(invalid_mime, MPREAD_ERROR_INVALID_MIME,                             \
    "Form data part contains a invalid mime")                            \
  X(not_at_content, MPREAD_ERROR_NOT_AT_CONTENT,                         \
    "Not at the start of the form data part's file content")             \
  X(invalid_fd, MPREAD_ERROR_INVALID_FD,                                 \
    "Invalid file descriptor to write part data to")                     \
  X(inaccessible_fd, MPREAD_ERROR_INVALID_FD,                            \
    "Invalid file descriptor unable to access file")                     \
  X(write_failed, MPREAD_ERROR_WRITE_FAILED,                             \
    "Failed to write to file descriptor %d: %s")                         \
  X(content_unterminated, MPREAD_ERROR_CONTENT_UNTERMINATED,             \
    "Request body ended inside the part's content")                      \
  X(search_boundary, 0, "Error while searching for boundary:")           \
  X(read_boundary, 0, "Error while reading boundary:")                   \
  X(parse_disposition, 0, "Failed to parse Content-Disposition:")        \
  X(parse_type, 0, "Failed to parse Content-Type:")                      \
  X(search_content, 0, "Error while searching for next form data part:")

namespace mpread {

enum class Msg : uint8_t {
#define MPREAD_MESSAGE_NAME(name, code, text) name,
  MPREAD_MESSAGES(MPREAD_MESSAGE_NAME)
#undef MPREAD_MESSAGE_NAME
};

struct Message {
  int code;
  const char *text;
};

inline constexpr Message messages[] = {
#define MPREAD_MESSAGE_ROW(name, code, text) {code, text},
    MPREAD_MESSAGES(MPREAD_MESSAGE_ROW)
#undef MPREAD_MESSAGE_ROW
};

constexpr const Message &message(Msg msg) {
  return messages[static_cast<size_t>(msg)];
}

// Failing. A failing helper returns FALSE, so that the gboolean operations
// read `return fail(...)`; the operations that return 1, 0 or -1 use the
// fail_part helpers, which return -1 ("this part failed"). No helper returns
// -1 under a name a gboolean operation would use.

// Raises `msg` (its text a format for the arguments that follow) in the
// library's domain.
gboolean fail(GError **error, Msg msg, ...);
// Puts the prefix `msg` before the error another component raised.
gboolean fail_prefixed(GError **error, Msg msg);

// None of the texts these raise takes arguments.
inline int fail_part(GError **error, Msg msg) {
  fail(error, msg);
  return -1;
}
inline int fail_part_prefixed(GError **error, Msg msg) {
  fail_prefixed(error, msg);
  return -1;
}

}  // namespace mpread

#endif
