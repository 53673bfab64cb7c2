// Walking the parts: delimiter lines and part header blocks.
#include <string.h>

#include "intake.h"
#include "reqinfo.h"
#include "state.h"

namespace {

using mpread::chunk_size;
using mpread::fail_part;
using mpread::fail_part_prefixed;
using mpread::Msg;

// A header record of one call, on the stack: filled when its line is met,
// released on every return path.
struct HeaderSlot {
  ReqinfoHeader record{};
  bool filled = false;
  HeaderSlot() = default;
  HeaderSlot(const HeaderSlot &) = delete;
  HeaderSlot &operator=(const HeaderSlot &) = delete;
  ~HeaderSlot() {
    if (filled) reqinfo_release_header(&record);
  }
};

int parse_into(HeaderSlot &slot, const char *line, Msg duplicate, Msg prefix,
               GError **error) {
  if (slot.filled) return fail_part(error, duplicate);
  slot.filled = true;
  if (!reqinfo_parse_header(line, &slot.record, error))
    return fail_part_prefixed(error, prefix);
  return 1;
}

// Skips what is left of a part the caller did not take, however long, up to
// its end marker, so that content is never read as header lines.
int skip_rest_of_part(MpreadState *s, char *scratch, GError **error) {
  size_t n = s->delimiter_len;
  if (s->position == BodyPosition::in_part_lines) {
    // The header block broke off at a line end: a delimiter may stand here.
    size_t got = 0;
    if (!intake_peek(scratch, n, &got, error))
      return fail_part_prefixed(error, Msg::search_boundary);
    s->position = got == n && memcmp(scratch, s->delimiter, n) == 0
                      ? BodyPosition::between_parts
                      : BodyPosition::in_content;
  }
  if (s->position != BodyPosition::in_content) return 1;
  for (;;) {
    size_t length = 0;
    int r = intake_read_until_match_scratch(s->end_marker, scratch, chunk_size,
                                            &length, error);
    if (r < 0) return fail_part_prefixed(error, Msg::search_boundary);
    if (r == 0 || length == 0) break;
  }
  s->position = BodyPosition::between_parts;
  return 1;
}

// A delimiter line closes the form when, after the delimiter itself, it ends
// in "--" once its line ending and trailing blanks are gone. Only the text
// after the delimiter counts, so boundaries ending in dashes work.
bool closes_form(const char *line, size_t len, const char *delimiter,
                 size_t n) {
  size_t from = len >= n && memcmp(line, delimiter, n) == 0 ? n : 0;
  if (len > from && line[len - 1] == '\n') len--;
  if (len > from && line[len - 1] == '\r') len--;
  while (len > from && (line[len - 1] == ' ' || line[len - 1] == '\t')) len--;
  return len >= from + 2 && line[len - 1] == '-' && line[len - 2] == '-';
}

// The whole name, then blanks and the colon: a prefix match would take
// "Content-Type-Options:" for the part's type where a filter in front of
// the server sees another header. Browsers write the names in this case:
// the exact compare goes first, the case-blind one walks byte by byte.
bool names_header(const char *line, const char *name, size_t n) {
  if (strncmp(line, name, n) != 0 && g_ascii_strncasecmp(line, name, n) != 0)
    return false;
  line += n;
  while (*line == ' ' || *line == '\t') line++;
  return *line == ':';
}

// What follows the last '/' or '\', whichever stands later: applying one
// separator first would let "x\../../etc/passwd" keep its "../".
const char *without_directory(const char *filename) {
  const char *slash = strrchr(filename, '/');
  const char *backslash = strrchr(filename, '\\');
  const char *sep = slash > backslash ? slash : backslash;
  const char *base = sep != nullptr ? sep + 1 : filename;
  if (strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return "";
  return base;
}

int read_part(MpreadState *s, MpreadPart *part, char *scratch, GError **error) {
  if (skip_rest_of_part(s, scratch, error) < 0) return -1;

  // Between parts the stream stands at an end marker, whose CR LF is a line
  // of its own, at a delimiter, or at the body's end: lines reach the
  // delimiter line, cheaper than a search for it.
  size_t length = 0;
  int r = intake_read_line(scratch, chunk_size, &length, error);
  if (r > 0 && length == 2 && scratch[0] == '\r' && scratch[1] == '\n')
    r = intake_read_line(scratch, chunk_size, &length, error);
  if (r < 0) {
    s->position = BodyPosition::in_part_lines;
    return fail_part_prefixed(error, Msg::read_boundary);
  }
  if (r == 0) return 0;
  if (closes_form(scratch, length, s->delimiter, s->delimiter_len)) {
    s->position = BodyPosition::closed;
    return 0;
  }
  s->position = BodyPosition::in_part_lines;

  HeaderSlot disposition, type;
  for (;;) {
    r = intake_read_line(scratch, chunk_size, &length, error);
    if (r < 0) return -1;
    if (r == 0) {
      s->position = BodyPosition::between_parts;
      return 0;
    }
    if (scratch[0] == '\r' && scratch[1] == '\n') break;
    if (names_header(scratch, "Content-Disposition", 19)) {
      if (parse_into(disposition, scratch, Msg::duplicate_disposition,
                     Msg::parse_disposition, error) < 0)
        return -1;
    } else if (names_header(scratch, "Content-Type", 12)) {
      if (parse_into(type, scratch, Msg::duplicate_type, Msg::parse_type,
                     error) < 0)
        return -1;
    }
  }
  s->position = BodyPosition::in_content;

  if (!disposition.filled) return fail_part(error, Msg::no_disposition);
  const char *name =
      reqinfo_get_header_param_value(&disposition.record, "name");
  const char *filename =
      reqinfo_get_header_param_value(&disposition.record, "filename");
  if (name == nullptr || *name == '\0') return fail_part(error, Msg::no_name);
  if (filename != nullptr) {
    if (*filename == '\0') return fail_part(error, Msg::invalid_filename);
    filename = without_directory(filename);
  }
  const char *mime = type.filled ? type.record.value : nullptr;
  if (mime != nullptr && *mime == '\0')
    return fail_part(error, Msg::invalid_mime);

  part->name = g_strdup(name);
  part->mime = g_strdup(mime);
  part->filename = g_strdup(filename);
  s->at_content_start = 1;
  return 1;
}

}  // namespace

extern "C" {

int mpread_get_next_part(MpreadPart *part, GError **error) {
  MpreadState *s = mpread::state;
  if (s == nullptr) return fail_part(error, Msg::not_initialized);
  if (part == nullptr) return fail_part(error, Msg::null_part);
  s->at_content_start = 0;
  s->in_content = 0;
  // The epilogue after the closing delimiter is never parsed.
  if (s->position == BodyPosition::closed) return 0;
  // On the stack: a zero-filled allocation per part would cost more than
  // reading the part's header block.
  char scratch[chunk_size];
  int r = read_part(s, part, scratch, error);
  // A body that broke off (client gone, read failed) has no further part:
  // the walk reports it once and then ends, or a caller that goes on after
  // -1 would be answered -1 forever.
  if (r < 0 && !intake_peek(scratch, 0, nullptr, nullptr))
    s->position = BodyPosition::closed;
  return r;
}

void mpread_release_part(MpreadPart *part) {
  if (part == nullptr) return;
  g_free(part->name);
  g_free(part->mime);
  g_free(part->filename);
  part->name = part->mime = part->filename = nullptr;
}

}  // extern "C"
