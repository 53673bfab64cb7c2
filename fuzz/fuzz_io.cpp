#include "fuzz_io.h"

#include <errno.h>
#include <stdio.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
fuzzio::ReadShape shape;
unsigned reads_seen = 0;
}  // namespace

extern "C" ssize_t mpread_fuzz_read(int fd, void *buf, size_t count) {
  reads_seen++;
  if (shape.eintr_every != 0 && reads_seen % shape.eintr_every == 0) {
    errno = EINTR;
    return -1;
  }
  if (shape.cap != 0 && count > shape.cap) count = shape.cap;
  return read(fd, buf, count);
}

extern "C" ssize_t mpread_fuzz_readv(int fd, const struct iovec *iov,
                                     int iovcnt) {
  reads_seen++;
  if (shape.eintr_every != 0 && reads_seen % shape.eintr_every == 0) {
    errno = EINTR;
    return -1;
  }
  struct iovec parts[8];
  if (iovcnt < 1 || iovcnt > 8) fuzzio::fail("readv with an unexpected part count");
  size_t left = shape.cap != 0 ? shape.cap : SIZE_MAX;
  int n = 0;
  for (; n < iovcnt && left > 0; n++) {
    parts[n] = iov[n];
    if (parts[n].iov_len > left) parts[n].iov_len = left;
    left -= parts[n].iov_len;
  }
  return readv(fd, parts, n);
}

namespace fuzzio {

void set_read_shape(ReadShape s) {
  shape = s;
  reads_seen = 0;
}

Body::Body(const uint8_t *data, size_t size) {
  fd_ = memfd_create("fuzz-body", 0);
  if (fd_ < 0) fail("memfd_create");
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd_, data + done, size - done);
    if (n <= 0) fail("write to memfd");
    done += static_cast<size_t>(n);
  }
  rewind();
}

Body::~Body() {
  close(0);
  close(fd_);
}

void Body::rewind() const {
  if (lseek(fd_, 0, SEEK_SET) != 0 || dup2(fd_, 0) != 0) fail("rewind body");
}

size_t Body::offset() const {
  off_t at = lseek(0, 0, SEEK_CUR);
  if (at < 0) fail("lseek");
  return static_cast<size_t>(at);
}

void init_glib_for_leak_checks() { setenv("G_SLICE", "always-malloc", 1); }

void fail(const char *what) {
  fprintf(stderr, "property broken: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace fuzzio
