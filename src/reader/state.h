// The reader's private state record and error helpers, shared by its three
// units (initialisation, part header block, part content).
#ifndef MPREAD_READER_STATE_H
#define MPREAD_READER_STATE_H

#include <stdint.h>

#include "mpread.h"

// Where the body stands, so that content the caller did not take is skipped
// whole before the next part is looked for.
enum class BodyPosition : int32_t {
  between_parts,  // at (CR LF and) the next delimiter, or at the body's end
  in_part_lines,  // after a delimiter line, before the header block ended
  in_content,     // somewhere in a part's content
  closed,         // after the closing delimiter: the epilogue is never read
};

struct MpreadState {
  char *delimiter;   // "--" followed by the boundary
  char *end_marker;  // CR LF and the delimiter: where content ends
  size_t delimiter_len;
  int32_t at_content_start;  // content may be taken by either call
  int32_t in_content;        // chunks are being taken
  BodyPosition position;
};

namespace mpread {

// The one state record of the process; null while not initialised.
extern MpreadState *state;

// Raises an error in the library's domain and returns -1, so that int
// operations read `return fail(...)`.
int fail(GError **error, MpreadError code, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);

// The working size of every read from the body.
constexpr size_t chunk_size = 4096;
constexpr size_t max_boundary = 70;

}  // namespace mpread

#define MSG_NOT_INITIALIZED "Mpread has not been initialized"
#define MSG_UNSUPPORTED_METHOD \
  "Only the POST request method is supported for multipart/form-data"
#define MSG_NO_BOUNDARY "No boundary set in the Content-Type"
#define MSG_BOUNDARY_TOO_LONG \
  "Boundary is too long max len %u actual length %zu"
#define MSG_BAD_START "Request does not start with the boundary line"
#define MSG_NULL_PART "Null form data part struct is not allowed"
#define MSG_DUPLICATE_DISPOSITION \
  "Form data part contain duplicate Content-Disposition headers"
#define MSG_DUPLICATE_TYPE \
  "Form data part contain duplicate Content-Type headers"
#define MSG_NO_DISPOSITION \
  "Form data part does not contain a Content-Disposition"
#define MSG_NO_NAME "Form data part name is not set"
#define MSG_INVALID_FILENAME "Form data part contains a invalid filename"
#define MSG_INVALID_MIME "Form data part contains a invalid mime"
#define MSG_NOT_AT_CONTENT \
  "Not at the start of the form data part's file content"
#define MSG_INVALID_FD "Invalid file descriptor to write part data to"
#define MSG_INACCESSIBLE_FD "Invalid file descriptor unable to access file"
#define MSG_WRITE_FAILED "Failed to write to file descriptor %d: %s"
#define MSG_CONTENT_UNTERMINATED "Request body ended inside the part's content"

#define PREFIX_SEARCH_BOUNDARY "Error while searching for boundary:"
#define PREFIX_READ_BOUNDARY "Error while reading boundary:"
#define PREFIX_DISPOSITION "Failed to parse Content-Disposition:"
#define PREFIX_TYPE "Failed to parse Content-Type:"
#define PREFIX_CONTENT "Error while searching for next form data part:"

#endif
