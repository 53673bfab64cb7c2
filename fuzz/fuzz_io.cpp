#include "fuzz_io.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include "intake.h"
#include "mpread.h"
#include "reqinfo.h"

namespace {
size_t cap = 0;
unsigned eintr_every = 0, reads_seen = 0;
int body_fd = -1;

bool interrupted() {
  if (eintr_every == 0 || ++reads_seen % eintr_every != 0) return false;
  errno = EINTR;
  return true;
}
}  // namespace

extern "C" ssize_t mpread_fuzz_read(int fd, void *buf, size_t count) {
  if (interrupted()) return -1;
  return read(fd, buf, cap != 0 && count > cap ? cap : count);
}

extern "C" ssize_t mpread_fuzz_readv(int fd, const struct iovec *iov,
                                     int iovcnt) {
  if (interrupted()) return -1;
  if (iovcnt < 1 || iovcnt > 8) fuzzio::fail("readv with an unexpected part count");
  struct iovec parts[8];
  size_t left = cap != 0 ? cap : SIZE_MAX;
  int n = 0;
  for (; n < iovcnt && left > 0; n++) {
    parts[n] = iov[n];
    if (parts[n].iov_len > left) parts[n].iov_len = left;
    left -= parts[n].iov_len;
  }
  return readv(fd, parts, n);
}

// Before any GLib call: GSlice would hide leaks from LeakSanitizer.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("G_SLICE", "always-malloc", 1);
  return 0;
}

namespace fuzzio {

void set_read_shape(size_t c, unsigned e) {
  cap = c;
  eintr_every = e;
  reads_seen = 0;
}

void set_body(const void *data, size_t size) {
  if (body_fd < 0) body_fd = memfd_create("fuzz-body", 0);
  if (body_fd < 0 || ftruncate(body_fd, 0) != 0 ||
      pwrite(body_fd, data, size, 0) != static_cast<ssize_t>(size))
    fail("body to memfd");
  rewind_body();
}

void rewind_body() {
  if (lseek(body_fd, 0, SEEK_SET) != 0 || dup2(body_fd, 0) != 0) fail("rewind body");
}

size_t body_offset() {
  off_t at = lseek(0, 0, SEEK_CUR);
  if (at < 0) fail("lseek");
  return static_cast<size_t>(at);
}

size_t declared_length(unsigned mode, size_t delta, size_t sent) {
  if (mode == 2) return sent > delta ? sent - delta : 0;
  return mode == 3 ? sent + 1 + delta : sent;
}

std::string quoted(const std::string &s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + '"';
}

void Outcome::take_error(GError *&err, bool failed) {
  if ((err != nullptr) != failed) fail(err ? err->message : "failed, no error set");
  if (err == nullptr) return;
  FUZZ_CHECK(err->message != nullptr && err->message[0] != '\0');
  FUZZ_CHECK(err->domain == MPREAD_ERROR || err->domain == INTAKE_ERROR ||
             err->domain == REQINFO_ERROR);
  if (err->domain == MPREAD_ERROR)
    FUZZ_CHECK(err->code >= MPREAD_ERROR_NOT_INITIALIZED &&
               err->code <= MPREAD_ERROR_CONTENT_UNTERMINATED);
  domain = err->domain;
  code = err->code;
  message = err->message;
  g_clear_error(&err);
}

void fail(const char *what) {
  fprintf(stderr, "property broken: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace fuzzio
