// The request-body buffer against the model of the stream: whatever the
// working-buffer size, the limit, the sizes its reads and readv calls come
// back in, the EINTR that interrupts them, and the order of peeks, line
// reads, searches and fresh starts, it gives the same lines, chunks, results
// and errors as the model. A scratch search (a working buffer or more read
// straight into the caller's buffer) delivers what the general one does; it
// may change the caller's buffer up to its size, the general one only the
// bytes it delivered. Both matches are built in one buffer in turn: a match
// is known by its text, not its address.
//
// Input: [buffer size] [limit] [read cap] [eintr] [match lengths x2]
//        [op count] match bytes, op bytes (2 per op), then the body.
#include "model.h"

namespace {

void same(int result, const char *dest, size_t length, GError *&err, const Outcome &want) {
  Outcome got{0, result, result == 1 ? std::string(dest, length) : ""};
  got.take_error(err, result < 0);
  if (want.message.empty()) got.message.clear();  // the model knows only its own texts
  FUZZ_CHECK(got == want);
}

// Small sizes most of the time, now and then one past a working buffer.
size_t size_from(uint8_t b) { return b < 200 ? b : size_t(b - 200) * 97; }

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
                                std::string(p + match_len[0], strnlen(p + match_len[0], match_len[1]))};
  const uint8_t *ops = data + 7 + match_len[0] + match_len[1];
  const std::string body(reinterpret_cast<const char *>(data) + header, size - header);

  set_body(body);
  const unsigned eintr = data[3] % 5;  // every read interrupted would never end
  set_read_shape(data[2], eintr == 1 ? 0 : eintr);
  Stream model;
  std::string dest(9000, '\0');
  char match_buf[32];
  GError *err = nullptr;
  for (size_t i = 0; i <= n_ops; i++) {
    const uint8_t kind = i == 0 ? 14 : ops[2 * i - 2] % 16, arg = i == 0 ? 0 : ops[2 * i - 1];
    size_t length = 0, sz = size_from(arg);
    if (kind <= 1) {
      const size_t count = std::min(arg >= 250 ? capacity + (arg & 1) : arg, dest.size());
      const gboolean ok = intake_peek(dest.data(), count, &length, &err);
      same(ok ? 1 : -1, dest.data(), length, err, model.peek(count));
    } else if (kind <= 5) {
      const int r = intake_read_line(dest.data(), sz, &length, &err);
      FUZZ_CHECK(r != 1 || dest[length] == '\0');
      same(r, dest.data(), length, err, model.read_line(sz));
    } else if (kind <= 12) {
      const std::string &m = match[kind >= 11];
      memcpy(match_buf, m.c_str(), m.size() + 1);
      // A canary over the size given and a byte past it.
      const bool scratch = kind % 2 == 0;
      for (size_t k = 0; k <= sz; k++) dest[k] = char(0x5a ^ k);
      const int r = (scratch ? intake_read_until_match_scratch : intake_read_until_match)(
          match_buf, dest.data(), sz, &length, &err);
      FUZZ_CHECK(length <= sz);
      for (size_t k = scratch ? sz : length; k <= sz; k++) FUZZ_CHECK(dest[k] == char(0x5a ^ k));
      same(r, dest.data(), length, err, model.read_until_match(m, sz));
    } else if (kind == 13) {
      if (arg % 4 == 0) {
        intake_release();
        model.release();
      }
    } else {
      // A fresh start from wherever the descriptor stands: whatever the
      // earlier one had read ahead is gone.
      const off_t at = lseek(0, 0, SEEK_CUR);
      const std::string rest = body.substr(size_t(at));
      const uint8_t l = i == 0 ? data[1] : arg;
      const size_t limit = declared_length(l & 3, l >> 2, rest.size());
      FUZZ_CHECK(intake_init(0, capacity, limit, &err));
      model.init(rest, capacity, limit);
    }
  }
  intake_release();
  return 0;
}
