// The request-body buffer against the model of the stream: whatever the
// working-buffer size, the limit, the sizes its reads and readv calls come
// back in, and the order of peeks, line reads, searches and fresh starts,
// it gives the same lines, chunks, results and errors as the model. A
// scratch search (a working buffer or more read straight into the caller's
// buffer) delivers what the general one does; it may change the caller's
// buffer up to its size, the general one only the bytes it delivered. Three
// matches are built in one buffer in turn: a match is known by its text,
// not its address.
//
// Input: [buffer size] [limit] [read cap] [match lengths x2] [op count]
//        match bytes, op bytes (2 per op), then the body.
#include "model.h"

namespace {

void same(int result, const char *dest, size_t length, GError *&err,
          const Outcome &want) {
  Outcome got{0, result, result == 1 ? std::string(dest, length) : ""};
  got.take_error(err, result < 0);
  // The model knows only the texts of its own errors.
  if (want.message.empty()) got.message.clear();
  assert(got == want);
}

// Small sizes most of the time, now and then one past a working buffer.
size_t size_from(uint8_t b) { return b < 200 ? b : size_t(b - 200) * 97; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  const size_t capacity = data[0] >= 250 ? 4096 : 2 + data[0];
  const size_t match_len[2] = {1u + data[3] % 24u, 1u + data[4] % 24u};
  const size_t n_ops = 1 + data[5] % 64;
  const uint8_t *ops = data + 6 + match_len[0] + match_len[1];
  if (size < size_t(ops - data) + 2 * n_ops) return 0;
  std::string match[2];
  for (const char *p = reinterpret_cast<const char *>(data) + 6; int m : {0, 1})
    match[m].assign(p + m * match_len[0],
                    strnlen(p + m * match_len[0], match_len[m]));
  const std::string body(reinterpret_cast<const char *>(ops) + 2 * n_ops,
                         size - (ops - data) - 2 * n_ops);
  set_body(body);
  read_cap = data[2];
  Stream model;
  std::string dest(9000, '\0');
  char match_buf[32];
  GError *err = nullptr;
  // Op 0 is the first start, with the limit byte of the input's head.
  for (size_t i = 0; i <= n_ops; i++) {
    const uint8_t kind = i == 0 ? 15 : ops[2 * i - 2] % 16;
    const uint8_t arg = i == 0 ? data[1] : ops[2 * i - 1];
    size_t length = 0, sz = size_from(arg);
    if (kind <= 1) {
      const size_t count = arg >= 250 ? capacity + (arg & 1) : arg;
      const gboolean ok = intake_peek(dest.data(), count, &length, &err);
      same(ok ? 1 : -1, dest.data(), length, err, model.peek(count));
    } else if (kind <= 5) {
      const int r = intake_read_line(dest.data(), sz, &length, &err);
      assert(r != 1 || dest[length] == '\0');
      same(r, dest.data(), length, err, model.read_line(sz));
    } else if (kind <= 12) {
      // The reader's matches: two, and one a suffix of another.
      const std::string m = kind % 3 == 2 ? match[1].substr(match[1].size() > 1)
                                          : match[kind % 3];
      memcpy(match_buf, m.c_str(), m.size() + 1);
      const bool scratch = kind % 2 == 0;
      // A canary over the size given and a byte past it.
      for (size_t k = 0; k <= sz; k++) dest[k] = char(0x5a ^ k);
      const int r =
          (scratch ? intake_read_until_match_scratch : intake_read_until_match)(
              match_buf, dest.data(), sz, &length, &err);
      assert(length <= sz);
      for (size_t k = scratch ? sz : length; k <= sz; k++)
        assert(dest[k] == char(0x5a ^ k));
      same(r, dest.data(), length, err, model.read_until_match(m, sz));
    } else if (kind == 13 && arg % 4 == 0) {
      intake_release();
      model.release();
    } else if (kind >= 14) {
      // A fresh start from wherever the descriptor stands: whatever the
      // earlier one had read ahead is gone.
      const std::string rest = body.substr(size_t(lseek(0, 0, SEEK_CUR)));
      const size_t limit = declared_length(arg & 3, arg >> 2, rest.size());
      assert(intake_init(0, capacity, limit, &err));
      model.init(rest, capacity, limit);
    }
  }
  intake_release();
  return 0;
}
