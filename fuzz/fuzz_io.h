// Shared by the fuzz targets: the body on a descriptor, and control over how
// the request-body buffer's read(2) calls are answered.
#ifndef MPREAD_FUZZ_IO_H
#define MPREAD_FUZZ_IO_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// The fuzz build compiles the request-body buffer with -Dread=mpread_fuzz_read,
// so that every read it makes passes through here: reads can be cut short at
// any size (a socket or a slow client delivers a few bytes at a time) and
// interrupted by EINTR, both of which must change nothing in what it returns.
extern "C" ssize_t mpread_fuzz_read(int fd, void *buf, size_t count);
// Its readv(2) calls alike (-Dreadv=mpread_fuzz_readv): the cap holds for
// the parts together.
struct iovec;
extern "C" ssize_t mpread_fuzz_readv(int fd, const struct iovec *iov,
                                     int iovcnt);

namespace fuzzio {

struct ReadShape {
  size_t cap = 0;           // at most this many bytes per read; 0 = no cap
  unsigned eintr_every = 0;  // every n-th read fails with EINTR; 0 = never
};
void set_read_shape(ReadShape shape);

// A memory file holding body, placed on descriptor 0 at offset 0. Call
// rewind() before each pass over the same body.
class Body {
 public:
  Body(const uint8_t *data, size_t size);
  ~Body();
  Body(const Body &) = delete;
  Body &operator=(const Body &) = delete;
  void rewind() const;  // descriptor 0 reads the body from its start
  size_t offset() const;  // where descriptor 0 now stands

 private:
  int fd_;
};

// Before any GLib call: GSlice would hide leaks from LeakSanitizer.
void init_glib_for_leak_checks();

// Crashes with a message: a broken property is a finding like a crash.
[[noreturn]] void fail(const char *what);
#define FUZZ_CHECK(cond)                                              \
  do {                                                                \
    if (!(cond)) fuzzio::fail(__FILE__ ":" FUZZ_STR(__LINE__) ": " #cond); \
  } while (0)
#define FUZZ_STR(x) FUZZ_STR2(x)
#define FUZZ_STR2(x) #x

}  // namespace fuzzio

#endif
