// Every text the reader raises, beside its code: the library raises from
// this table only, and the tests and the manual's list are checked against
// it. Callers may match on the texts, odd wording included: keep them.
#ifndef MPREAD_READER_MESSAGES_H
#define MPREAD_READER_MESSAGES_H

#include <stddef.h>
#include <stdint.h>

#include "mpread.h"

namespace mpread {

enum class Msg : uint8_t {
  not_initialized,
  unsupported_method,
  no_boundary,
  boundary_too_long,
  bad_start,
  null_part,
  duplicate_disposition,
  duplicate_type,
  no_disposition,
  no_name,
  invalid_filename,
  invalid_mime,
  not_at_content,
  invalid_fd,
  inaccessible_fd,
  write_failed,
  content_unterminated,
  // Put before an error another component raised (code 0 here: the error
  // keeps its own domain and code).
  search_boundary,
  read_boundary,
  parse_disposition,
  parse_type,
  search_content,
};

struct Message {
  int code;
  const char *text;
};

inline constexpr Message messages[] = {
    {MPREAD_ERROR_NOT_INITIALIZED, "Mpread has not been initialized"},
    {MPREAD_ERROR_UNSUPPORTED_METHOD,
     "Only the POST request method is supported for multipart/form-data"},
    {MPREAD_ERROR_NO_BOUNDARY, "No boundary set in the Content-Type"},
    {MPREAD_ERROR_BOUNDARY_TOO_LONG,
     "Boundary is too long max len %u actual length %zu"},
    {MPREAD_ERROR_BAD_START, "Request does not start with the boundary line"},
    {MPREAD_ERROR_NULL_PART, "Null form data part struct is not allowed"},
    {MPREAD_ERROR_DUPLICATE_HEADER,
     "Form data part contain duplicate Content-Disposition headers"},
    {MPREAD_ERROR_DUPLICATE_HEADER,
     "Form data part contain duplicate Content-Type headers"},
    {MPREAD_ERROR_NO_DISPOSITION,
     "Form data part does not contain a Content-Disposition"},
    {MPREAD_ERROR_NO_NAME, "Form data part name is not set"},
    {MPREAD_ERROR_INVALID_FILENAME,
     "Form data part contains a invalid filename"},
    {MPREAD_ERROR_INVALID_MIME, "Form data part contains a invalid mime"},
    {MPREAD_ERROR_NOT_AT_CONTENT,
     "Not at the start of the form data part's file content"},
    {MPREAD_ERROR_INVALID_FD, "Invalid file descriptor to write part data to"},
    {MPREAD_ERROR_INVALID_FD, "Invalid file descriptor unable to access file"},
    {MPREAD_ERROR_WRITE_FAILED, "Failed to write to file descriptor %d: %s"},
    {MPREAD_ERROR_CONTENT_UNTERMINATED,
     "Request body ended inside the part's content"},
    {0, "Error while searching for boundary:"},
    {0, "Error while reading boundary:"},
    {0, "Failed to parse Content-Disposition:"},
    {0, "Failed to parse Content-Type:"},
    {0, "Error while searching for next form data part:"},
};

constexpr const Message &message(Msg msg) {
  return messages[static_cast<size_t>(msg)];
}

// Raises `msg` (its text a format for the arguments that follow) in the
// library's domain and returns -1, so that int operations read
// `return fail(...)`.
int fail(GError **error, Msg msg, ...);

// Puts the prefix `msg` before the error another component raised; returns -1.
int prefixed(GError **error, Msg msg);

}  // namespace mpread

#endif
