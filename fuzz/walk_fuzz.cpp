// The whole walk of a form, as a CGI program drives it, over bodies an
// attacker wrote. Beyond "no crash, no leak" it checks what must hold for
// every body:
//  - every call returns one of its documented results, with an error exactly
//    when it fails, in a known domain;
//  - every part has a non-empty name, and no file name holds '/' or '\' or
//    is "." or "..";
//  - the content delivered never exceeds the body, and the walk ends within
//    a number of calls bounded by the body's length;
//  - the same body walked several ways (chunks of 1, 7, 4096 and 8192
//    bytes, written to a descriptor, or taken the way the input picks, some
//    parts left untaken or half taken) gives the same parts and the same
//    bytes of content;
//  - a body that breaks off early (the length promises more than is sent)
//    reports nothing as complete that the whole body would not have.
//
// Input: [boundary length] [flags] [read cap] [chunk size x2]
//        [part actions x4] [length delta] boundary bytes, then the body.
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_io.h"
#include "intake.h"
#include "mpread.h"
#include "reqinfo.h"

namespace {

using fuzzio::Body;

enum class Take { chunks, to_fd, leave, one_chunk };

struct Plan {
  size_t chunk = 4096;
  uint32_t actions = 0;  // two bits per part, for the first 16 parts
  Take take(size_t part) const {
    return part < 16 ? static_cast<Take>((actions >> (2 * part)) & 3)
                     : Take::chunks;
  }
};

// What one call showed the caller.
struct Event {
  char call;  // 'i'nit, 'n'ext part, 'c'ontent (whole), 'p'artial content
  int result = 0;
  GQuark domain = 0;
  int code = 0;
  std::string message, name, mime, filename, content;
  bool operator==(const Event &o) const {
    return call == o.call && result == o.result && domain == o.domain &&
           code == o.code && message == o.message && name == o.name &&
           mime == o.mime && filename == o.filename && content == o.content;
  }
};

struct Walk {
  std::vector<Event> events;
  size_t delivered = 0;  // content bytes, all parts together
};

void take_error(Event &e, GError *&err, bool failed) {
  if ((err != nullptr) != failed)
    fprintf(stderr, "result says %s, error is %s\n",
            failed ? "failed" : "succeeded", err ? err->message : "not set");
  FUZZ_CHECK((err != nullptr) == failed);
  if (err == nullptr) return;
  if (err->domain != MPREAD_ERROR && err->domain != INTAKE_ERROR &&
      err->domain != REQINFO_ERROR)
    fprintf(stderr, "error in domain %s: %s\n", g_quark_to_string(err->domain),
            err->message);
  FUZZ_CHECK(err->domain == MPREAD_ERROR || err->domain == INTAKE_ERROR ||
             err->domain == REQINFO_ERROR);
  if (err->domain == MPREAD_ERROR)
    FUZZ_CHECK(err->code >= MPREAD_ERROR_NOT_INITIALIZED &&
               err->code <= MPREAD_ERROR_CONTENT_UNTERMINATED);
  FUZZ_CHECK(err->message != nullptr && err->message[0] != '\0');
  e.domain = err->domain;
  e.code = err->code;
  e.message = err->message;
  g_clear_error(&err);
}

void check_part(const MpreadPart &p) {
  FUZZ_CHECK(p.name != nullptr && p.name[0] != '\0');
  FUZZ_CHECK(p.mime == nullptr || p.mime[0] != '\0');
  if (p.filename != nullptr) {
    FUZZ_CHECK(strchr(p.filename, '/') == nullptr);
    FUZZ_CHECK(strchr(p.filename, '\\') == nullptr);
    FUZZ_CHECK(strcmp(p.filename, ".") != 0);
    FUZZ_CHECK(strcmp(p.filename, "..") != 0);
  }
}

// Content through mpread_get_part_buffer; with `whole` false only the first
// chunk is taken. The chunk buffer is one allocation of exactly `chunk`
// bytes, so a write past it is caught.
Event take_chunks(size_t chunk, bool whole, size_t &calls) {
  Event e{whole ? 'c' : 'p'};
  std::vector<char> buf(chunk);
  for (;;) {
    size_t length = SIZE_MAX;
    GError *err = nullptr;
    int r = mpread_get_part_buffer(buf.data(), chunk, &length, &err);
    calls++;
    FUZZ_CHECK(r == 1 || r == 0 || r == -1);
    take_error(e, err, r < 0);
    e.result = r;
    if (r != 1) break;
    FUZZ_CHECK(length <= chunk);
    if (length == 0) break;
    e.content.append(buf.data(), length);
    if (!whole) break;
  }
  return e;
}

Event take_to_fd(size_t &calls) {
  Event e{'c'};
  int fd = memfd_create("fuzz-part", 0);
  FUZZ_CHECK(fd >= 0);
  GError *err = nullptr;
  gboolean ok = mpread_write_part_to_file(fd, &err);
  calls++;
  FUZZ_CHECK(ok == TRUE || ok == FALSE);
  take_error(e, err, !ok);
  // A write that succeeded reads as a whole-content chunk walk that ended
  // at the end marker; one that met the end of the body as a chunk walk
  // that got 0, which sets no error.
  e.result = ok ? 1 : -1;
  if (e.domain == MPREAD_ERROR && e.code == MPREAD_ERROR_CONTENT_UNTERMINATED) {
    e = Event{'c'};
    e.result = 0;
  }
  off_t n = lseek(fd, 0, SEEK_END);
  FUZZ_CHECK(n >= 0);
  e.content.resize(static_cast<size_t>(n));
  FUZZ_CHECK(pread(fd, e.content.data(), e.content.size(), 0) == n);
  close(fd);
  return e;
}

Walk walk(const Body &body, size_t body_len, const Plan &plan,
          fuzzio::ReadShape shape) {
  Walk w;
  body.rewind();
  fuzzio::set_read_shape(shape);
  GError *err = nullptr;
  Event init{'i'};
  init.result = mpread_init(&err);
  FUZZ_CHECK(init.result == TRUE || init.result == FALSE);
  // The library adds no error of its own for a length of 0; the length
  // component sets one.
  take_error(init, err, !init.result);
  w.events.push_back(init);
  if (!init.result) return w;

  // Every call that does not end the walk moves the body on by at least a
  // line, and every chunk by a byte.
  const size_t bound = 2 * body_len + 16;
  size_t calls = 0;
  for (size_t index = 0;; index++) {
    MpreadPart part{};
    Event next{'n'};
    int r = mpread_get_next_part(&part, &err);
    calls++;
    FUZZ_CHECK(r == 1 || r == 0 || r == -1);
    take_error(next, err, r < 0);
    next.result = r;
    if (r == 1) {
      check_part(part);
      next.name = part.name;
      next.mime = part.mime ? part.mime : "(none)";
      next.filename = part.filename ? part.filename : "(none)";
    } else {
      FUZZ_CHECK(part.name == nullptr && part.mime == nullptr &&
                 part.filename == nullptr);
    }
    w.events.push_back(next);
    if (r == 0) {
      // And it stays at the end.
      FUZZ_CHECK(mpread_get_next_part(&part, &err) == 0 && err == nullptr);
      break;
    }
    if (r == 1) {
      Event content{'c'};
      switch (plan.take(index)) {
        case Take::chunks: content = take_chunks(plan.chunk, true, calls); break;
        case Take::one_chunk: content = take_chunks(plan.chunk, false, calls); break;
        case Take::to_fd: content = take_to_fd(calls); break;
        case Take::leave: content.call = 'l'; break;
      }
      w.delivered += content.content.size();
      w.events.push_back(content);
      mpread_release_part(&part);
    }
    FUZZ_CHECK(calls <= bound);
  }
  FUZZ_CHECK(w.delivered <= body_len);
  mpread_release();
  // Released means released: nothing answers as if initialised.
  MpreadPart part{};
  FUZZ_CHECK(mpread_get_next_part(&part, &err) == -1);
  FUZZ_CHECK(err != nullptr && err->code == MPREAD_ERROR_NOT_INITIALIZED);
  g_clear_error(&err);
  return w;
}

// On a mismatch, both walks go to stderr before the abort.
void print(const char *title, const Walk &w) {
  fprintf(stderr, "%s:\n", title);
  for (const Event &e : w.events)
    fprintf(stderr, "  %c %d %s/%d \"%s\" name=%s mime=%s file=%s %zu bytes\n",
            e.call, e.result, e.domain ? g_quark_to_string(e.domain) : "-",
            e.code, e.message.c_str(), e.name.c_str(), e.mime.c_str(),
            e.filename.c_str(), e.content.size());
}

#define AGREE_CHECK(cond, a, b) \
  do {                          \
    if (!(cond)) {              \
      print("first walk", a);   \
      print("second walk", b);  \
    }                           \
    FUZZ_CHECK(cond);           \
  } while (0)

bool is_error(const Event &e) {
  return e.result < 0 || (e.call == 'i' && e.result == FALSE);
}

// Two walks of the same body agree on every part; content is compared where
// both took it whole, and what one took in part is a prefix of the other.
void agree(const Walk &a, const Walk &b) {
  size_t i = 0, j = 0;
  while (i < a.events.size() && j < b.events.size()) {
    const Event &x = a.events[i], &y = b.events[j];
    if (x.call == 'c' || x.call == 'p' || x.call == 'l' ||
        y.call == 'c' || y.call == 'p' || y.call == 'l') {
      FUZZ_CHECK(x.call != 'n' && x.call != 'i' && y.call != 'n' &&
                 y.call != 'i');
      if (x.call == 'c' && y.call == 'c') {
        AGREE_CHECK(x.content == y.content, a, b);
        AGREE_CHECK(x.domain == y.domain && x.code == y.code, a, b);
      } else if (x.call != 'l' && y.call != 'l') {
        const Event &part = x.call == 'p' ? x : y, &whole = x.call == 'p' ? y : x;
        AGREE_CHECK(whole.content.compare(0, part.content.size(), part.content) == 0, a, b);
      }
    } else {
      AGREE_CHECK(x == y, a, b);
    }
    i++;
    j++;
  }
  AGREE_CHECK(i == a.events.size() && j == b.events.size(), a, b);
}

// A walk of a body that broke off against the same walk of the whole body:
// the same until the first error, so nothing is reported complete that was
// not; without an error (a closing delimiter came first) the same to the end.
void agree_until_broken(const Walk &broken, const Walk &whole) {
  for (size_t i = 0; i < broken.events.size(); i++) {
    const Event &x = broken.events[i];
    if (is_error(x)) return;
    AGREE_CHECK(i < whole.events.size() && x == whole.events[i], broken, whole);
  }
  AGREE_CHECK(broken.events.size() == whole.events.size(), broken, whole);
}

std::string boundary_from(const uint8_t *p, size_t n, bool quoted) {
  static const char token[] =
      "!#$%&'*+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ^_`abcdefghijklmnopqrstuvwxyz{|}~";
  std::string b;
  for (size_t i = 0; i < n; i++) {
    if (!quoted)
      b += token[p[i] % (sizeof token - 1)];
    else  // anything but control characters, quotes and backslashes included
      b += static_cast<char>(p[i] < 0x20 || p[i] == 0x7f ? p[i] | 0x40 : p[i]);
  }
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzio::init_glib_for_leak_checks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  constexpr size_t fixed = 10;
  if (size < fixed) return 0;
  const size_t boundary_len = data[0] % 71;
  const uint8_t flags = data[1];
  if (size < fixed + boundary_len) return 0;
  const bool quoted = flags & 1;
  const fuzzio::ReadShape shape{data[2], (flags & 2) ? 3u : 0u};
  Plan plan;
  plan.chunk = 1 + ((static_cast<size_t>(data[3]) << 8 | data[4]) % 8192);
  memcpy(&plan.actions, data + 5, 4);
  const size_t delta = data[9];
  const std::string boundary = boundary_from(data + fixed, boundary_len, quoted);
  const uint8_t *body = data + fixed + boundary_len;
  const size_t body_len = size - fixed - boundary_len;

  std::string ct = "multipart/form-data; boundary=";
  if (quoted) {
    ct += '"';
    for (char c : boundary) {
      if (c == '"' || c == '\\') ct += '\\';
      ct += c;
    }
    ct += '"';
  } else {
    ct += boundary;
  }
  setenv("REQUEST_METHOD", "POST", 1);
  setenv("CONTENT_TYPE", ct.c_str(), 1);
  // Mostly the length that is sent; now and then less (the rest is never
  // read) or more (the client dropped mid-upload).
  size_t length = body_len;
  const int length_mode = (flags >> 2) & 3;
  if (length_mode == 2) length = body_len > delta ? body_len - delta : 0;
  if (length_mode == 3) length = body_len + 1 + delta;
  setenv("CONTENT_LENGTH", std::to_string(length).c_str(), 1);

  Body fd0(body, body_len);
  const size_t seen = length < body_len ? length : body_len;
  Plan whole;
  whole.chunk = 1;
  Walk reference = walk(fd0, seen, whole, {});
  const fuzzio::ReadShape plain{};
  if (length_mode == 3) {
    Walk broken = walk(fd0, seen, plan, shape);
    setenv("CONTENT_LENGTH", std::to_string(body_len).c_str(), 1);
    if (body_len > 0) {
      agree_until_broken(broken, walk(fd0, seen, plan, shape));
    }
    return 0;
  }
  for (size_t chunk : {7, 4096, 8192}) {
    whole.chunk = chunk;
    agree(walk(fd0, seen, whole, chunk == 7 ? shape : plain), reference);
  }
  whole.chunk = 4096;
  whole.actions = 0x55555555;  // every part written to a descriptor
  agree(walk(fd0, seen, whole, shape), reference);
  agree(walk(fd0, seen, plan, shape), reference);
  return 0;
}
