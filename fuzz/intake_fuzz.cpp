// The request-body buffer against a byte-by-byte model of it: whatever the
// working-buffer size, the limit, the sizes its reads and readv calls come
// back in, the EINTR that interrupts them, and the order of peeks, line
// reads and searches (a scratch search of a working buffer or more reads
// straight into the caller's buffer), it gives the same lines, chunks,
// results and errors as the model; a search changes nothing of its buffer
// past the bytes it delivered, a scratch search nothing past its size.
//
// Input: [buffer size] [limit] [read cap] [eintr] [match lengths x2]
//        [op count] match bytes, op bytes (2 per op), then the body.
#include <string.h>

#include <algorithm>

#include "fuzz_io.h"
#include "intake.h"

namespace {

using fuzzio::Outcome;

// What the buffer must do, computed from the whole stream at once.
class Model {
 public:
  void init(const std::string &rest_of_fd, size_t capacity, size_t limit) {
    ready_ = true;
    failed_ = false;
    capacity_ = capacity;
    pos_ = 0;
    truncated_ = rest_of_fd.size() < limit;
    stream_ = rest_of_fd.substr(0, std::min(limit, rest_of_fd.size()));
    truncation_ = "Request body ended after " + std::to_string(rest_of_fd.size()) +
                  " of " + std::to_string(limit) + " bytes";
  }
  void release() { ready_ = false; }

  Outcome peek(size_t count) {
    if (Outcome o = refusal(); o.result < 0) return o;
    if (count > capacity_) return error(INTAKE_ERROR_INVALID_ARGUMENT);
    size_t left = stream_.size() - pos_;
    if (count > left && truncated_) return broken();
    return delivered(std::min(count, left), 0);
  }

  Outcome read_line(size_t size) {
    if (Outcome o = refusal(); o.result < 0) return o;
    if (size == 0) return error(INTAKE_ERROR_INVALID_ARGUMENT);
    size_t lf = stream_.find('\n', pos_);
    if (lf == std::string::npos && truncated_) return broken();
    size_t n = (lf == std::string::npos ? stream_.size() : lf + 1) - pos_;
    Outcome o = delivered(n, n);
    if (n == 0) return Outcome{};  // 0: nothing left
    if (n > size - 1) return error(INTAKE_ERROR_LINE_TOO_LONG);
    if (o.bytes.find('\0') != std::string::npos)
      return error(INTAKE_ERROR_LINE_HAS_NUL);
    return o;
  }

  Outcome read_until_match(const std::string &match, size_t size) {
    if (Outcome o = refusal(); o.result < 0) return o;
    if (size == 0 || match.empty() || match.size() >= capacity_)
      return error(INTAKE_ERROR_INVALID_ARGUMENT);
    size_t at = stream_.find(match, pos_);
    if (at != std::string::npos) return delivered(std::min(size, at - pos_), size);
    if (!truncated_) {
      if (pos_ == stream_.size()) return Outcome{};  // 0: nothing left
      return delivered(std::min(size, stream_.size() - pos_), size);
    }
    // Bytes that may begin a match are held back until more arrive, and
    // with the stream cut short they never do.
    size_t held = std::min(match.size() - 1, stream_.size() - pos_);
    while (held > 0 && stream_.compare(stream_.size() - held, held, match, 0, held) != 0)
      held--;
    if (stream_.size() - held - pos_ < size) return broken();
    return delivered(size, size);
  }

 private:
  // n bytes from where the stream stands, of which `consumed` are used up.
  Outcome delivered(size_t n, size_t consumed) {
    Outcome o;
    o.result = 1;
    o.bytes = stream_.substr(pos_, n);
    pos_ += std::min(n, consumed);
    return o;
  }
  Outcome refusal() {
    if (!ready_) return error(INTAKE_ERROR_NOT_INITIALIZED);
    return failed_ ? broken() : Outcome{};
  }
  Outcome error(IntakeError code) {
    Outcome o;
    o.result = -1;
    o.domain = INTAKE_ERROR;
    o.code = code;
    return o;
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
  std::string stream_, truncation_;
};

void same(int result, const std::string &dest, size_t length, GError *err,
          const Outcome &want) {
  Outcome got;
  got.result = result;
  got.take_error(err, result < 0);
  if (result == 1) got.bytes.assign(dest.data(), length);
  FUZZ_CHECK(got.result == want.result && got.bytes == want.bytes);
  FUZZ_CHECK(got.domain == want.domain && got.code == want.code);
  FUZZ_CHECK(want.message.empty() || got.message == want.message);
}

// Small sizes most of the time, now and then one past a working buffer.
size_t size_from(uint8_t b) { return b < 200 ? b : static_cast<size_t>(b - 200) * 97; }

size_t limit_from(uint8_t b, size_t available) {
  return fuzzio::declared_length(b & 3, b >> 2, available);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 7) return 0;
  const size_t capacity = data[0] >= 250 ? 4096 : 2 + data[0];
  const size_t match_len[2] = {1u + data[4] % 24u, 1u + data[5] % 24u};
  const size_t n_ops = 1 + data[6] % 64;
  const size_t header = 7 + match_len[0] + match_len[1] + 2 * n_ops;
  if (size < header) return 0;
  // Up to the first NUL, as the buffer's C-string match sees it.
  const char *p = reinterpret_cast<const char *>(data) + 7;
  const std::string match[2] = {std::string(p, strnlen(p, match_len[0])),
                                std::string(p + match_len[0],
                                            strnlen(p + match_len[0], match_len[1]))};
  const uint8_t *ops = data + 7 + match_len[0] + match_len[1];
  const std::string body(reinterpret_cast<const char *>(data) + header, size - header);

  fuzzio::set_body(body.data(), body.size());
  // Every read interrupted would never end: one in two at most.
  const unsigned eintr = data[3] % 5;
  fuzzio::set_read_shape(data[2], eintr == 1 ? 0 : eintr);
  Model model;
  size_t limit = limit_from(data[1], body.size());
  GError *err = nullptr;
  FUZZ_CHECK(intake_init(0, capacity, limit, &err));
  model.init(body, capacity, limit);

  std::string dest(9000, '\0');
  char match_buf[32];
  for (size_t i = 0; i < n_ops; i++) {
    const uint8_t kind = ops[2 * i] % 16, arg = ops[2 * i + 1];
    size_t length = 0, sz = size_from(arg);
    err = nullptr;
    if (kind <= 1) {
      size_t count = std::min(arg >= 250 ? capacity + (arg & 1) : arg, dest.size());
      gboolean ok = intake_peek(dest.data(), count, &length, &err);
      same(ok ? 1 : -1, dest, length, err, model.peek(count));
    } else if (kind <= 5) {
      int r = intake_read_line(dest.data(), sz, &length, &err);
      if (r == 1) FUZZ_CHECK(dest[length] == '\0');
      same(r, dest, length, err, model.read_line(sz));
    } else if (kind <= 12) {
      const std::string &m = match[kind >= 11];
      // Both matches in turn in one buffer, as a caller that builds them in
      // a local array: a match is known by its text, not its address.
      memcpy(match_buf, m.c_str(), m.size() + 1);
      // A canary over the size given and a byte past it: only
      // dest[0, length) may change, or all of dest[0, size) when it is
      // scratch.
      const bool scratch = kind % 2 == 0;
      for (size_t k = 0; k <= sz; k++) dest[k] = static_cast<char>(0x5a ^ k);
      int r = (scratch ? intake_read_until_match_scratch : intake_read_until_match)(
          match_buf, dest.data(), sz, &length, &err);
      FUZZ_CHECK(length <= sz);
      for (size_t k = scratch ? sz : length; k <= sz; k++)
        FUZZ_CHECK(dest[k] == static_cast<char>(0x5a ^ k));
      same(r, dest, length, err, model.read_until_match(m, sz));
    } else if (kind == 13) {
      if (arg % 4 == 0) {
        intake_release();
        model.release();
      }
    } else {
      // A second init starts afresh from wherever the descriptor stands:
      // whatever the earlier one had read ahead is gone.
      std::string rest = body.substr(fuzzio::body_offset());
      limit = limit_from(arg, rest.size());
      FUZZ_CHECK(intake_init(0, capacity, limit, &err));
      model.init(rest, capacity, limit);
    }
  }
  intake_release();
  return 0;
}
