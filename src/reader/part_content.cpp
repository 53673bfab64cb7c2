// Delivering a part's content, in caller-sized chunks or onto a descriptor.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include "intake.h"
#include "state.h"

namespace {

using mpread::chunk_size;
using mpread::fail;
using mpread::fail_part;
using mpread::fail_part_prefixed;
using mpread::fail_prefixed;
using mpread::Msg;

// Hands the whole chunk to fd: a pipe or socket may take less than offered,
// and a signal may interrupt, neither of which is a failure. Leaves errno
// set when it returns false.
bool write_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n > 0) {
      data += n;
      len -= static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking descriptor: wait until it takes more.
      struct pollfd p = {fd, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return false;
    } else {
      if (n == 0) errno = EIO;
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" {

int mpread_get_part_buffer(void *buffer, size_t size, size_t *length,
                           GError **error) {
  MpreadState *s = mpread::state;
  if (s == nullptr) return fail_part(error, Msg::not_initialized);
  if (s->at_content_start == 0 && s->in_content == 0)
    return fail_part(error, Msg::not_at_content);
  s->at_content_start = 0;
  s->in_content = 0;
  int r = intake_read_until_match(s->end_marker, buffer, size, length, error);
  if (r < 0) return fail_part_prefixed(error, Msg::search_content);
  if (r == 0) {
    s->position = BodyPosition::between_parts;
    return 0;
  }
  if (*length == 0) s->position = BodyPosition::between_parts;
  s->in_content = 1;
  return 1;
}

gboolean mpread_write_part_to_file(int fd, GError **error) {
  MpreadState *s = mpread::state;
  if (s == nullptr) {
    fail(error, Msg::not_initialized);
    return FALSE;
  }
  if (fd < 0) {
    fail(error, Msg::invalid_fd);
    return FALSE;
  }
  if (s->at_content_start == 0) {
    fail(error, Msg::not_at_content);
    return FALSE;
  }
  if (fcntl(fd, F_GETFL) == -1 && errno == EBADF) {
    fail(error, Msg::inaccessible_fd);
    return FALSE;
  }
  // One buffer, on the stack, for all chunks: uploads of any length take
  // the same memory, and a part costs no allocation. It is ours alone, so
  // the body may be read straight into it.
  char chunk[chunk_size];
  s->at_content_start = 0;
  size_t length = 0;
  for (;;) {
    int r = intake_read_until_match_scratch(s->end_marker, chunk, chunk_size,
                                            &length, error);
    if (r < 0) {
      fail_prefixed(error, Msg::search_content);
      return FALSE;
    }
    if (r == 0 || length == 0) {
      s->position = BodyPosition::between_parts;
      // No end marker: a cut-off upload must not look like a whole one.
      if (r == 0) {
        fail(error, Msg::content_unterminated);
        return FALSE;
      }
      return TRUE;
    }
    if (!write_all(fd, chunk, length)) {
      int saved = errno;
      fail(error, Msg::write_failed, fd, g_strerror(saved));
      return FALSE;
    }
  }
}

}  // extern "C"
