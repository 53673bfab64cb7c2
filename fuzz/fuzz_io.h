// Shared by the fuzz targets: the body on descriptor 0, the shaping of the
// reads the request-body buffer makes, what a call showed its caller, and
// the pieces of a form both the walk and the header target write.
#ifndef MPREAD_FUZZ_IO_H
#define MPREAD_FUZZ_IO_H

#include <glib.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace fuzzio {

// The fuzz build compiles the request-body buffer with -Dread=mpread_fuzz_read
// and -Dreadv=mpread_fuzz_readv, so every read it makes can be cut to `cap`
// bytes (a readv's parts together) and every n-th one fail with EINTR, as a
// slow client or a signal would: neither may change what it returns.
// 0 means no cap, no EINTR.
void set_read_shape(size_t cap, unsigned eintr_every);

// The body as a memory file on descriptor 0, read from its start.
void set_body(const void *data, size_t size);
void rewind_body();
size_t body_offset();  // where descriptor 0 now stands

// The length a request declares for `sent` bytes, as the input picks it:
// mode 2 says `delta` less (the rest is never read), mode 3 more (the
// client dropped mid-body), anything else the length sent.
size_t declared_length(unsigned mode, size_t delta, size_t sent);

// A quoted-string with the two escapes the parser knows.
std::string quoted(const std::string &s);

// What one call showed its caller.
struct Outcome {
  int result = 0;
  std::string bytes;
  GQuark domain = 0;
  int code = 0;
  std::string message;
  bool operator==(const Outcome &) const = default;
  // Takes err over and frees it. An error is set exactly when the call
  // failed, says something, and is of a known domain and code.
  void take_error(GError *&err, bool failed);
};

// A broken property is a finding like a crash.
[[noreturn]] void fail(const char *what);
#define FUZZ_CHECK(cond) \
  ((cond) ? void(0) : fuzzio::fail(__FILE__ ":" FUZZ_STR(__LINE__) ": " #cond))
#define FUZZ_STR(x) FUZZ_STR2(x)
#define FUZZ_STR2(x) #x

}  // namespace fuzzio

#endif
