// The request-body buffer against a byte-by-byte model of it: whatever the
// working-buffer size, the limit, the sizes its reads come back in and the
// order of peeks, line reads and searches, it must give the same lines, the
// same chunks and the same results as the model.
//
// Input: [buffer size] [limit] [read cap] [eintr] [match lengths x2]
//        [op count] match bytes, op bytes (2 per op), then the body.
#include <string.h>

#include <string>

#include "fuzz_io.h"
#include "intake.h"

namespace {

using fuzzio::Body;

struct Outcome {
  int result = 0;  // as the call returned it (TRUE/FALSE for peek)
  std::string bytes;
  GQuark domain = 0;
  int code = 0;
  std::string message;  // compared only where the model knows it
};

// What the buffer must do, computed from the whole stream at once.
class Model {
 public:
  void init(const std::string &rest_of_fd, size_t capacity, size_t limit) {
    ready_ = true;
    failed_ = false;
    capacity_ = capacity;
    limit_ = limit;
    pos_ = 0;
    truncated_ = rest_of_fd.size() < limit;
    stream_ = rest_of_fd.substr(0, truncated_ ? rest_of_fd.size() : limit);
    truncation_ = "Request body ended after " +
                  std::to_string(rest_of_fd.size()) + " of " +
                  std::to_string(limit) + " bytes";
  }
  void release() { ready_ = false; }

  Outcome peek(size_t count) {
    Outcome o;
    if (refused(o)) return o;
    if (count > capacity_) return error(o, INTAKE_ERROR_INVALID_ARGUMENT);
    size_t left = stream_.size() - pos_;
    if (count > left && truncated_) return broken(o);
    o.result = TRUE;
    o.bytes = stream_.substr(pos_, count < left ? count : left);
    return o;
  }

  Outcome read_line(size_t size) {
    Outcome o;
    if (refused(o)) return o;
    if (size == 0) return error(o, INTAKE_ERROR_INVALID_ARGUMENT);
    size_t lf = stream_.find('\n', pos_);
    if (lf == std::string::npos && truncated_) return broken(o);
    size_t end = lf == std::string::npos ? stream_.size() : lf + 1;
    std::string line = stream_.substr(pos_, end - pos_);
    pos_ = end;
    if (line.empty()) return o;  // 0: nothing left
    if (line.size() > size - 1) return error(o, INTAKE_ERROR_LINE_TOO_LONG);
    if (line.find('\0') != std::string::npos)
      return error(o, INTAKE_ERROR_LINE_HAS_NUL);
    o.result = 1;
    o.bytes = line;
    return o;
  }

  Outcome read_until_match(const std::string &match, size_t size) {
    Outcome o;
    if (refused(o)) return o;
    if (size == 0 || match.empty() || match.size() >= capacity_)
      return error(o, INTAKE_ERROR_INVALID_ARGUMENT);
    size_t at = stream_.find(match, pos_);
    size_t n;
    if (at != std::string::npos) {
      n = std::min(size, at - pos_);
    } else if (!truncated_) {
      n = std::min(size, stream_.size() - pos_);
      if (n == 0) return o;  // 0: nothing left
    } else {
      // Bytes that may begin a match are held back until more arrive, and
      // with the stream cut short they never do.
      size_t held = 0;
      for (size_t k = std::min(match.size() - 1, stream_.size() - pos_); k > 0;
           k--)
        if (stream_.compare(stream_.size() - k, k, match, 0, k) == 0) {
          held = k;
          break;
        }
      if (stream_.size() - held - pos_ < size) return broken(o);
      n = size;
    }
    o.result = 1;
    o.bytes = stream_.substr(pos_, n);
    pos_ += n;
    return o;
  }

 private:
  bool refused(Outcome &o) {
    if (!ready_) {
      error(o, INTAKE_ERROR_NOT_INITIALIZED);
      return true;
    }
    if (failed_) {
      broken(o);
      return true;
    }
    return false;
  }
  Outcome &error(Outcome &o, IntakeError code) {
    o.result = -1;
    o.domain = INTAKE_ERROR;
    o.code = code;
    return o;
  }
  // Once the stream broke, every read says so, with the same message.
  Outcome &broken(Outcome &o) {
    failed_ = true;
    error(o, INTAKE_ERROR_TRUNCATED);
    o.message = truncation_;
    return o;
  }

  bool ready_ = false, failed_ = false, truncated_ = false;
  size_t capacity_ = 0, limit_ = 0, pos_ = 0;
  std::string stream_, truncation_;
};

Outcome from_call(int result, const void *bytes, size_t length, GError *err) {
  Outcome o;
  o.result = result;
  if (result == 1 && bytes != nullptr)
    o.bytes.assign(static_cast<const char *>(bytes), length);
  if (err != nullptr) {
    o.domain = err->domain;
    o.code = err->code;
    o.message = err->message;
    g_error_free(err);
  }
  return o;
}

void same(const Outcome &got, const Outcome &want, bool failed_means_minus1) {
  int result = got.result;
  if (failed_means_minus1 && result == FALSE) result = -1;
  FUZZ_CHECK(result == want.result);
  FUZZ_CHECK(got.bytes == want.bytes);
  FUZZ_CHECK(got.domain == want.domain);
  FUZZ_CHECK(got.code == want.code);
  FUZZ_CHECK(want.result >= 0 || !got.message.empty());
  if (!want.message.empty()) FUZZ_CHECK(got.message == want.message);
}

size_t buffer_size_from(uint8_t b) { return b >= 250 ? 4096 : 2 + b; }

// Small sizes most of the time, now and then one past a working buffer.
size_t size_from(uint8_t b) {
  return b < 200 ? b : static_cast<size_t>(b - 200) * 97;
}

size_t limit_from(uint8_t b, size_t available) {
  size_t delta = b >> 2;
  switch (b & 3) {
    case 2: return available > delta ? available - delta : 0;
    case 3: return available + 1 + delta;  // the client drops mid-body
    default: return available;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzio::init_glib_for_leak_checks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 7) return 0;
  const size_t capacity = buffer_size_from(data[0]);
  const uint8_t limit_byte = data[1];
  // Every read interrupted would never end: one in two at most.
  const unsigned eintr = data[3] % 5;
  fuzzio::ReadShape shape{data[2], eintr == 1 ? 0u : eintr};
  const size_t match_len[2] = {1u + data[4] % 24u, 1u + data[5] % 24u};
  const size_t n_ops = 1 + data[6] % 64;
  size_t header = 7 + match_len[0] + match_len[1] + 2 * n_ops;
  if (size < header) return 0;
  // Up to the first NUL, as the buffer's C-string match sees it.
  std::string match[2];
  const char *p = reinterpret_cast<const char *>(data) + 7;
  for (int i = 0; i < 2; i++) {
    match[i].assign(p, strnlen(p, match_len[i]));
    p += match_len[i];
  }
  const uint8_t *ops = reinterpret_cast<const uint8_t *>(p);
  const std::string body(reinterpret_cast<const char *>(data) + header,
                         size - header);

  Body fd0(data + header, size - header);
  fuzzio::set_read_shape(shape);
  Model model;
  size_t limit = limit_from(limit_byte, body.size());
  GError *err = nullptr;
  FUZZ_CHECK(intake_init(0, capacity, limit, &err));
  model.init(body, capacity, limit);

  std::string dest(9000, '\0');
  for (size_t i = 0; i < n_ops; i++) {
    const uint8_t kind = ops[2 * i] % 16, arg = ops[2 * i + 1];
    size_t length = 0;
    err = nullptr;
    switch (kind) {
      case 0: case 1: {
        size_t count = arg >= 250 ? capacity + (arg & 1) : arg;
        if (count > dest.size()) count = dest.size();
        gboolean ok = intake_peek(dest.data(), count, &length, &err);
        same(from_call(ok ? 1 : FALSE, dest.data(), length, err),
             model.peek(count), true);
        break;
      }
      case 2: case 3: case 4: case 5: {
        size_t sz = size_from(arg);
        int r = intake_read_line(dest.data(), sz, &length, &err);
        Outcome got = from_call(r, dest.data(), length, err);
        if (r == 1) FUZZ_CHECK(dest[length] == '\0');
        same(got, model.read_line(sz), false);
        break;
      }
      case 6: case 7: case 8: case 9: case 10: case 11: case 12: {
        const std::string &m = match[kind >= 11];
        size_t sz = size_from(arg);
        // The buffer may not write past what it delivers: a guard byte
        // after the size it was given shows a stray write.
        dest[sz] = '\x5a';
        int r = intake_read_until_match(m.c_str(), dest.data(), sz, &length,
                                        &err);
        FUZZ_CHECK(dest[sz] == '\x5a');
        if (r == 1) FUZZ_CHECK(length <= sz);
        same(from_call(r, dest.data(), length, err),
             model.read_until_match(m, sz), false);
        break;
      }
      case 13:
        if (arg % 4 == 0) {
          intake_release();
          model.release();
        }
        break;
      default: {
        // A second init starts afresh from wherever the descriptor stands:
        // whatever the earlier one had read ahead is gone.
        std::string rest = body.substr(fd0.offset());
        limit = limit_from(arg, rest.size());
        FUZZ_CHECK(intake_init(0, capacity, limit, &err));
        model.init(rest, capacity, limit);
        break;
      }
    }
  }
  intake_release();
  fuzzio::set_read_shape({});
  return 0;
}
