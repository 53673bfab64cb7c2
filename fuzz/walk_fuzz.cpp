// The whole walk of a form, as a CGI program drives it, over bodies an
// attacker wrote. Beyond "no crash, no leak", for every body:
//  - every call gives one of its documented results, an error exactly when
//    it fails, of a known domain (MPREAD_ERROR codes 1-15 only);
//  - every part has a name; no file name holds '/' or '\' or is "." or "..";
//  - complete content is what was sent: it stands in the body followed by
//    the end marker, and all content together is no longer than the body;
//  - the walk ends, and stays ended, within as many parts as the body has
//    bytes;
//  - walks taking content in chunks of 1 byte, of the size the input picks,
//    written to a descriptor (a body ending inside the content counts as a
//    chunk walk that got 0, MPREAD_ERROR_CONTENT_UNTERMINATED there), or
//    left or half taken as the input picks, with reads cut short, agree
//    on every part and every byte;
//  - a body that breaks off (the length promises more than is sent) reports
//    nothing as complete that the whole body would not.
//
// Input: [boundary length] [flags] [read cap] [chunk size x2]
//        [part actions x4] [length delta] boundary bytes, then the body.
// flags: bit 0 quoted boundary, bits 2-3 length mode.
#include <vector>

#include "model.h"

namespace {

using Walk = std::vector<Outcome>;
enum Take { chunks, to_fd, leave, one_chunk };  // two bits per part

std::string sent;    // the body as far as the declared length reaches
std::string marker;  // what ends a part's content

std::string describe(const MpreadPart &p) {
  assert(p.name && p.name[0] && (!p.mime || p.mime[0]));
  assert(p.filename == nullptr ||
         (strpbrk(p.filename, "/\\") == nullptr &&
          strcmp(p.filename, ".") != 0 && strcmp(p.filename, "..") != 0));
  return std::string(p.name) + '\0' + (p.mime ? p.mime : "\1") + '\0' +
         (p.filename ? p.filename : "\1");
}

// A part's content, taken whole ('c') or one chunk of it ('p'). The chunk
// buffer is one allocation of exactly `chunk` bytes, so a write past it is
// caught. Messages are left out: through a descriptor they differ.
Outcome take(Take how, size_t chunk) {
  Outcome o{how == one_chunk ? 'p' : 'c'};
  GError *err = nullptr;
  if (how == to_fd) {
    const int fd = memfd_create("fuzz-part", 0);
    o.result = mpread_write_part_to_file(fd, &err) ? 1 : -1;
    o.take_error(err, o.result < 0);
    if (o.domain == MPREAD_ERROR && o.code == MPREAD_ERROR_CONTENT_UNTERMINATED)
      o = Outcome{'c'};  // result 0, as the chunk walk has it
    o.bytes.resize(size_t(lseek(fd, 0, SEEK_END)));
    assert(pread(fd, o.bytes.data(), o.bytes.size(), 0) ==
           ssize_t(o.bytes.size()));
    close(fd);
  } else {
    std::vector<char> buf(chunk);
    do {
      size_t length = SIZE_MAX;
      o.result = mpread_get_part_buffer(buf.data(), chunk, &length, &err);
      assert(o.result >= -1 && o.result <= 1 &&
             (o.result != 1 || length <= chunk));
      o.take_error(err, o.result < 0);
      if (o.result != 1 || length == 0) break;
      o.bytes.append(buf.data(), length);
    } while (how == chunks);
  }
  o.message.clear();
  if (o.call == 'c' && o.result == 1)
    assert(sent.find(o.bytes + marker) != std::string::npos);
  return o;
}

Walk walk(uint32_t actions, size_t chunk, size_t cap) {
  rewind_body();
  read_cap = cap;
  GError *err = nullptr;
  Walk w{Outcome{'i', mpread_init(&err) ? 1 : -1}};
  w[0].take_error(err, w[0].result < 0);
  size_t delivered = 0;
  for (size_t index = 0; w[0].result == 1; index++) {
    assert(index <= sent.size());
    MpreadPart part{};
    const int r = mpread_get_next_part(&part, &err);
    assert(r >= -1 && r <= 1 &&
           (r == 1 || (!part.name && !part.mime && !part.filename)));
    w.push_back(
        Outcome{'n', r, r == 1 ? describe(part) : ""}.take_error(err, r < 0));
    if (r == 0) {
      assert(mpread_get_next_part(&part, &err) == 0 && err == nullptr);
      break;
    }
    if (r < 0) continue;
    const Take how = index < 16 ? Take(actions >> (2 * index) & 3) : chunks;
    w.push_back(how == leave ? Outcome{'p'} : take(how, chunk));
    delivered += w.back().bytes.size();
    mpread_release_part(&part);
  }
  assert(delivered <= sent.size());
  mpread_release();
  return w;
}

// Walks of one body agree on every call, but what the first took in part
// only begins what the second took whole. The walk of a body that broke off
// (`until_error`) agrees with that of the whole body until its first error.
void agree(const Walk &a, const Walk &b, bool until_error) {
  size_t i = 0;
  for (; i < a.size() && !(until_error && a[i].result < 0); i++)
    assert(i < b.size() &&
           (a[i] == b[i] || (a[i].call == 'p' && b[i].call == 'c' &&
                             b[i].bytes.starts_with(a[i].bytes))));
  assert(i < a.size() || a.size() == b.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 10 || size < 10u + data[0] % 71) return 0;
  const size_t boundary_len = data[0] % 71, cap = data[2];
  const bool quote = data[1] & 1;
  const unsigned mode = data[1] >> 2 & 3;
  const size_t chunk = 1 + ((size_t(data[3]) << 8 | data[4]) % 8192);
  uint32_t actions;
  memcpy(&actions, data + 5, 4);
  static const char token[] =
      "!#$%&'*+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ^_`"
      "abcdefghijklmnopqrstuvwxyz{|}~";
  std::string boundary;
  for (const uint8_t *p = data + 10; p < data + 10 + boundary_len; p++)
    if (quote)  // anything but control characters, quotes and backslashes too
      boundary += char(*p < 0x20 || *p == 0x7f ? *p | 0x40 : *p);
    else
      boundary += token[*p % (sizeof token - 1)];
  const std::string body(
      reinterpret_cast<const char *>(data) + 10 + boundary_len,
      size - 10 - boundary_len);
  const size_t length = declared_length(mode, data[9], body.size());

  const std::string type =
      "multipart/form-data; boundary=" + (quote ? quoted(boundary) : boundary);
  setenv("REQUEST_METHOD", "POST", 1);
  setenv("CONTENT_TYPE", type.c_str(), 1);
  setenv("CONTENT_LENGTH", std::to_string(length).c_str(), 1);
  set_body(body);
  sent = body.substr(0, length);
  marker = "\r\n--" + boundary;
  const Walk picked = walk(actions, chunk, cap);
  // Against the whole body, taken a byte at a time with reads uncut.
  setenv("CONTENT_LENGTH", std::to_string(sent.size()).c_str(), 1);
  agree(picked, walk(0, 1, 0), mode == 3);
  return 0;
}
