// The whole walk of a form, as a CGI program drives it, over bodies an
// attacker wrote. Beyond "no crash, no leak", for every body:
//  - every call gives one of its documented results, an error exactly when
//    it fails, of a known domain (MPREAD_ERROR codes 1-15 only);
//  - every part has a name; no file name holds '/' or '\' or is "." or "..";
//  - complete content is what was sent: it stands in the body followed by
//    the end marker, and all content together is no longer than the body;
//  - the walk ends, within a number of calls bounded by the body's length;
//  - walks taking content in chunks of 1 byte, of the size the input picks,
//    written to a descriptor (a body ending inside the content counts as a
//    chunk walk that got 0, MPREAD_ERROR_CONTENT_UNTERMINATED there), or
//    left or half taken as the input picks, with reads cut short and
//    interrupted, agree on every part and every byte;
//  - a body that breaks off (the length promises more than is sent) reports
//    nothing as complete that the whole body would not.
//
// Input: [boundary length] [flags] [read cap] [chunk size x2]
//        [part actions x4] [length delta] boundary bytes, then the body.
// flags: 1 quoted boundary, 2 EINTR on every third read, bits 2-3 length mode.
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "fuzz_io.h"
#include "mpread.h"

namespace {

// What one call showed: 'i'nit, 'n'ext part (bytes: name, mime and file
// name), 'c'ontent taken whole, 'p'art of it (one chunk, or none).
struct Event : fuzzio::Outcome {
  char call = 0;
  bool operator==(const Event &) const = default;
};
Event event(char call) {
  Event e;
  e.call = call;
  return e;
}

struct Walk {
  std::vector<Event> events;
  size_t delivered = 0;  // content bytes, all parts together
};

enum Take { chunks, to_fd, leave, one_chunk };  // two bits per part

std::string sent;    // the body as far as the declared length reaches
std::string marker;  // what ends a part's content

std::string describe(const MpreadPart &p) {
  FUZZ_CHECK(p.name != nullptr && p.name[0] != '\0');
  FUZZ_CHECK(p.mime == nullptr || p.mime[0] != '\0');
  if (p.filename != nullptr)
    FUZZ_CHECK(strpbrk(p.filename, "/\\") == nullptr &&
               strcmp(p.filename, ".") != 0 && strcmp(p.filename, "..") != 0);
  return std::string(p.name) + '\0' + (p.mime ? p.mime : "\1") + '\0' +
         (p.filename ? p.filename : "\1");
}

// The chunk buffer is one allocation of exactly `chunk` bytes, so a write
// past it is caught.
Event take_chunks(size_t chunk, bool whole, size_t &calls) {
  Event e = event(whole ? 'c' : 'p');
  std::vector<char> buf(chunk);
  for (;;) {
    size_t length = SIZE_MAX;
    GError *err = nullptr;
    e.result = mpread_get_part_buffer(buf.data(), chunk, &length, &err);
    calls++;
    FUZZ_CHECK(e.result >= -1 && e.result <= 1);
    e.take_error(err, e.result < 0);
    if (e.result != 1 || length == 0) return e;
    FUZZ_CHECK(length <= chunk);
    e.bytes.append(buf.data(), length);
    if (!whole) return e;
  }
}

Event take_to_fd(size_t &calls) {
  Event e = event('c');
  int fd = memfd_create("fuzz-part", 0);
  FUZZ_CHECK(fd >= 0);
  GError *err = nullptr;
  gboolean ok = mpread_write_part_to_file(fd, &err);
  calls++;
  e.take_error(err, !ok);
  e.result = ok ? 1 : -1;
  if (e.domain == MPREAD_ERROR && e.code == MPREAD_ERROR_CONTENT_UNTERMINATED)
    e = event('c');  // result 0, as the chunk walk has it
  off_t n = lseek(fd, 0, SEEK_END);
  FUZZ_CHECK(n >= 0);
  e.bytes.resize(static_cast<size_t>(n));
  FUZZ_CHECK(pread(fd, e.bytes.data(), e.bytes.size(), 0) == n);
  close(fd);
  return e;
}

Walk walk(uint32_t actions, size_t chunk, size_t cap, unsigned eintr) {
  Walk w;
  fuzzio::rewind_body();
  fuzzio::set_read_shape(cap, eintr);
  GError *err = nullptr;
  Event init = event('i');
  init.result = mpread_init(&err) ? 1 : -1;
  init.take_error(err, init.result < 0);
  w.events.push_back(init);
  if (init.result < 0) return w;
  // Every call that does not end the walk moves the body on by at least a
  // line, and every chunk by a byte.
  const size_t bound = 2 * sent.size() + 16;
  for (size_t index = 0, calls = 0;; index++) {
    MpreadPart part{};
    Event next = event('n');
    next.result = mpread_get_next_part(&part, &err);
    calls++;
    FUZZ_CHECK(next.result >= -1 && next.result <= 1);
    next.take_error(err, next.result < 0);
    if (next.result == 1) next.bytes = describe(part);
    else FUZZ_CHECK(part.name == nullptr && part.mime == nullptr && part.filename == nullptr);
    w.events.push_back(next);
    if (next.result == 0) {  // and it stays at the end
      FUZZ_CHECK(mpread_get_next_part(&part, &err) == 0 && err == nullptr);
      break;
    }
    if (next.result == 1) {
      Take how = index < 16 ? Take(actions >> (2 * index) & 3) : chunks;
      Event content = event('p');
      if (how == to_fd) content = take_to_fd(calls);
      else if (how != leave) content = take_chunks(chunk, how == chunks, calls);
      if (content.call == 'c' && content.result == 1)
        FUZZ_CHECK(sent.find(content.bytes + marker) != std::string::npos);
      w.delivered += content.bytes.size();
      w.events.push_back(content);
      mpread_release_part(&part);
    }
    FUZZ_CHECK(calls <= bound);
  }
  FUZZ_CHECK(w.delivered <= sent.size());
  mpread_release();
  return w;
}

// On a disagreement both walks go to stderr before the abort.
void agreed(bool ok, const Walk &a, const Walk &b, const char *what) {
  if (ok) return;
  for (const Walk *w : {&a, &b}) {
    fprintf(stderr, "%s walk:\n", w == &a ? "first" : "second");
    for (const Event &e : w->events)
      fprintf(stderr, "  %c %d %s/%d \"%s\" %s, %zu bytes\n", e.call, e.result,
              e.domain ? g_quark_to_string(e.domain) : "-", e.code,
              e.message.c_str(), e.call == 'n' ? e.bytes.c_str() : "",
              e.bytes.size());
  }
  fuzzio::fail(what);
}

// Walks of one body agree on every call; content both took whole is the
// same, and what one took in part begins what the other took.
void agree(const Walk &a, const Walk &whole) {
  bool ok = a.events.size() == whole.events.size();
  for (size_t i = 0; ok && i < a.events.size(); i++) {
    const Event &x = a.events[i], &y = whole.events[i];
    if (x.call == 'p')
      ok = y.call == 'c' && y.bytes.starts_with(x.bytes);
    else if (x.call == 'c')  // through a descriptor the messages differ
      ok = y.call == 'c' && x.result == y.result && x.bytes == y.bytes &&
           x.domain == y.domain && x.code == y.code;
    else
      ok = x == y;
  }
  agreed(ok, a, whole, "walks of one body disagree");
}

// The walk of a body that broke off is the same as that of the whole body
// until its first error; without one (a closing delimiter came first) to
// the end.
void agree_until_broken(const Walk &broken, const Walk &whole) {
  for (size_t i = 0; i < broken.events.size(); i++) {
    if (broken.events[i].result < 0) return;
    agreed(i < whole.events.size() && broken.events[i] == whole.events[i],
           broken, whole, "a body that broke off gave what the whole did not");
  }
  agreed(broken.events.size() == whole.events.size(), broken, whole,
         "a body that broke off ended its walk early");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 10 || size < 10u + data[0] % 71) return 0;
  const size_t boundary_len = data[0] % 71, cap = data[2];
  const bool quoted = data[1] & 1;
  const unsigned eintr = data[1] & 2 ? 3 : 0, mode = data[1] >> 2 & 3;
  const size_t chunk = 1 + ((static_cast<size_t>(data[3]) << 8 | data[4]) % 8192);
  uint32_t actions;
  memcpy(&actions, data + 5, 4);
  static const char token[] =
      "!#$%&'*+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ^_`abcdefghijklmnopqrstuvwxyz{|}~";
  std::string boundary;
  for (const uint8_t *p = data + 10; p < data + 10 + boundary_len; p++)
    if (quoted)  // anything but control characters, quotes and backslashes too
      boundary += static_cast<char>(*p < 0x20 || *p == 0x7f ? *p | 0x40 : *p);
    else
      boundary += token[*p % (sizeof token - 1)];
  const uint8_t *body = data + 10 + boundary_len;
  const size_t body_len = size - 10 - boundary_len;
  const size_t length = fuzzio::declared_length(mode, data[9], body_len);

  setenv("REQUEST_METHOD", "POST", 1);
  setenv("CONTENT_TYPE", ("multipart/form-data; boundary=" +
                          (quoted ? fuzzio::quoted(boundary) : boundary)).c_str(), 1);
  setenv("CONTENT_LENGTH", std::to_string(length).c_str(), 1);
  fuzzio::set_body(body, body_len);
  sent.assign(reinterpret_cast<const char *>(body), std::min(length, body_len));
  marker = "\r\n--" + boundary;
  if (mode == 3) {
    Walk broken = walk(actions, chunk, cap, eintr);
    setenv("CONTENT_LENGTH", std::to_string(body_len).c_str(), 1);
    agree_until_broken(broken, walk(actions, chunk, cap, eintr));
    return 0;
  }
  const Walk reference = walk(0, 1, 0, 0);
  agree(walk(0x55555555, 4096, cap, eintr), reference);  // every part to a descriptor
  agree(walk(actions, chunk, cap, eintr), reference);
  return 0;
}
