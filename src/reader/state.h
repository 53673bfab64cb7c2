// The reader's private state record and error helpers, shared by its three
// units (initialisation, part header block, part content).
#ifndef MPREAD_READER_STATE_H
#define MPREAD_READER_STATE_H

#include <stdint.h>

#include "messages.h"
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

// The working size of every read from the body.
constexpr size_t chunk_size = 4096;
constexpr size_t max_boundary = 70;

}  // namespace mpread

#endif
