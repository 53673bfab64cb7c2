// What the three targets share, included once by each: the body on
// descriptor 0 and the shaping of every read made of it, what a call showed
// its caller, and the model of the body as a stream, which the reader sees
// through the request-body buffer and the buffer must follow byte for byte.
#pragma once

// The properties are asserts, a broken one a finding like a crash; they stay
// on whatever the build type (some have effects).
#undef NDEBUG
#include <assert.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "intake.h"
#include "mpread.h"
#include "reqinfo.h"

// The fuzz build compiles the request-body buffer with -Dread=mpread_fuzz_read
// and -Dreadv=mpread_fuzz_readv, so every read it makes can be cut to
// `read_cap` bytes (a readv's two parts together), 0 for none, as a slow
// client's would: buffer edges fall anywhere, and must change nothing the
// buffer returns. (Reads interrupted by a signal are the attack table's.)
inline size_t read_cap = 0;

extern "C" ssize_t mpread_fuzz_read(int fd, void *buf, size_t count) {
  return read(fd, buf, read_cap != 0 ? std::min(count, read_cap) : count);
}

extern "C" ssize_t mpread_fuzz_readv(int fd, const struct iovec *iov,
                                     int iovcnt) {
  assert(iovcnt == 2);
  struct iovec parts[2] = {iov[0], iov[1]};
  if (read_cap != 0) {
    parts[0].iov_len = std::min(parts[0].iov_len, read_cap);
    parts[1].iov_len = std::min(parts[1].iov_len, read_cap - parts[0].iov_len);
  }
  return readv(fd, parts, 2);
}

// The body as a memory file on descriptor 0, read from its start.
inline int body_fd = -1;
inline void rewind_body() {
  assert(lseek(body_fd, 0, SEEK_SET) == 0 && dup2(body_fd, 0) == 0);
}
inline void set_body(const std::string &body) {
  if (body_fd < 0) body_fd = memfd_create("fuzz-body", 0);
  assert(body_fd >= 0 && ftruncate(body_fd, 0) == 0 &&
         pwrite(body_fd, body.data(), body.size(), 0) == ssize_t(body.size()));
  rewind_body();
}

// The length a request declares for `sent` bytes, as the input picks it:
// mode 2 says `delta` less (the rest is never read), mode 3 more (the
// client dropped mid-body), anything else the length sent.
inline size_t declared_length(unsigned mode, size_t delta, size_t sent) {
  if (mode == 2) return sent > delta ? sent - delta : 0;
  return mode == 3 ? sent + 1 + delta : sent;
}

// A quoted-string with the two escapes the parser knows.
inline std::string quoted(const std::string &s) {
  std::string q = "\"";
  for (char c : s) (c == '"' || c == '\\' ? q += '\\' : q) += c;
  return q + '"';
}

// What one call showed its caller: which call (the walk target's letters),
// its result, the bytes it gave and its error.
struct Outcome {
  char call = 0;
  int result = 0;
  std::string bytes;
  GQuark domain = 0;
  int code = 0;
  std::string message;
  bool operator==(const Outcome &) const = default;
  // Takes err over and frees it. An error is set exactly when the call
  // failed, says something, and is of a known domain and code.
  Outcome &take_error(GError *&err, bool failed) {
    assert((err != nullptr) == failed);
    if (err == nullptr) return *this;
    assert(err->message[0] != '\0');
    assert(err->domain == INTAKE_ERROR || err->domain == REQINFO_ERROR ||
           (err->domain == MPREAD_ERROR &&
            err->code >= MPREAD_ERROR_NOT_INITIALIZED &&
            err->code <= MPREAD_ERROR_CONTENT_UNTERMINATED));
    domain = err->domain;
    code = err->code;
    message = err->message;
    g_clear_error(&err);
    return *this;
  }
};

// The stream a request body is: `limit` bytes of what the descriptor holds,
// cut short when it holds fewer. What the request-body buffer must deliver,
// computed from the whole stream at once.
class Stream {
 public:
  void init(const std::string &rest_of_fd, size_t capacity, size_t limit) {
    *this = Stream{};
    ready_ = true;
    capacity_ = capacity;
    truncated_ = rest_of_fd.size() < limit;
    bytes_ = rest_of_fd.substr(0, limit);
    truncation_ = "Request body ended after " +
                  std::to_string(rest_of_fd.size()) + " of " +
                  std::to_string(limit) + " bytes";
  }
  void release() { ready_ = false; }

  Outcome peek(size_t count) {
    if (!usable() || count > capacity_) return refused();
    if (count > bytes_.size() - pos_ && truncated_) return broken();
    return delivered(count, 0);
  }

  Outcome read_line(size_t size) {
    if (!usable() || size == 0) return refused();
    const size_t lf = bytes_.find('\n', pos_);
    if (lf == std::string::npos && truncated_) return broken();
    const size_t n = (lf == std::string::npos ? bytes_.size() : lf + 1) - pos_;
    Outcome o = delivered(n, n);
    if (n == 0) return Outcome{};  // 0: nothing left
    if (n > size - 1) return error(INTAKE_ERROR_LINE_TOO_LONG);
    return o.bytes.find('\0') == std::string::npos
               ? o
               : error(INTAKE_ERROR_LINE_HAS_NUL);
  }

  // Bytes that may begin a match are held back until more arrive; with the
  // stream cut short they never do.
  Outcome read_until_match(const std::string &match, size_t size) {
    if (!usable() || size == 0 || match.empty() || match.size() >= capacity_)
      return refused();
    const size_t at = bytes_.find(match, pos_);
    if (at != std::string::npos)
      return delivered(std::min(size, at - pos_), size);
    if (!truncated_)
      return pos_ == bytes_.size() ? Outcome{} : delivered(size, size);
    size_t held = std::min(match.size() - 1, bytes_.size() - pos_);
    while (held > 0 &&
           bytes_.compare(bytes_.size() - held, held, match, 0, held) != 0)
      held--;
    return bytes_.size() - held - pos_ < size ? broken()
                                              : delivered(size, size);
  }

 private:
  // n bytes (fewer at the end) from where the stream stands, of which
  // `consumed` are used up.
  Outcome delivered(size_t n, size_t consumed) {
    Outcome o{0, 1, bytes_.substr(pos_, n)};
    pos_ += std::min(o.bytes.size(), consumed);
    return o;
  }
  bool usable() const { return ready_ && !failed_; }
  Outcome refused() {
    if (!ready_) return error(INTAKE_ERROR_NOT_INITIALIZED);
    return failed_ ? broken() : error(INTAKE_ERROR_INVALID_ARGUMENT);
  }
  Outcome error(IntakeError code) {
    return Outcome{0, -1, "", INTAKE_ERROR, code};
  }
  // Once the stream broke, every read says so, with the same message.
  Outcome broken() {
    failed_ = true;
    Outcome o = error(INTAKE_ERROR_TRUNCATED);
    o.message = truncation_;
    return o;
  }

  bool ready_ = false, failed_ = false, truncated_ = false;
  size_t capacity_ = 0, pos_ = 0;
  std::string bytes_, truncation_;
};
