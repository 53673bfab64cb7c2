// Test support: a CGI request put in place for in-process tests (the CGI
// variables in the environment, the body on descriptor 0 through a
// temporary file or a pipe fed by a thread, whole or a byte at a time so
// that every split point of the input is met), forms built part by part,
// and walks of a form as a careful CGI program drives them.
#ifndef MPREAD_TESTS_REQUEST_H
#define MPREAD_TESTS_REQUEST_H

#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "messages.h"
#include "mpread.h"

namespace testreq {

enum class Feed { file, pipe_whole, pipe_bytewise };
inline const char *feed_name(Feed feed) {
  return feed == Feed::file         ? "file"
         : feed == Feed::pipe_whole ? "pipe"
                                    : "bytewise";
}
// Every stream test runs once for each feed.
template <class Test>
void each_feed(Test test) {
  for (Feed feed : {Feed::file, Feed::pipe_whole, Feed::pipe_bytewise}) {
    SCOPED_TRACE(feed_name(feed));
    test(feed);
  }
}

// Neither copied nor moved: the thread and the destructor see to that.
class Request {
 public:
  ~Request() {
    stop_feeder();
    if (saved_stdin_ >= 0) {
      dup2(saved_stdin_, 0);
      close(saved_stdin_);
    }
  }
  static void env(const char *name, const char *value) {  // null unsets
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  // REQUEST_METHOD=POST, CONTENT_TYPE with the boundary, CONTENT_LENGTH the
  // body's size, and the body.
  void form(std::string_view boundary, std::string body,
            Feed feed = Feed::file) {
    env("REQUEST_METHOD", "POST");
    env("CONTENT_TYPE",
        ("multipart/form-data; boundary=" + std::string(boundary)).c_str());
    env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
    this->body(std::move(body), feed);
  }
  // The body alone.
  void body(std::string body, Feed feed = Feed::file) {
    stop_feeder();
    if (saved_stdin_ < 0) saved_stdin_ = dup(0);
    if (feed == Feed::file) {
      FILE *f = tmpfile();
      fwrite(body.data(), 1, body.size(), f);
      fflush(f);
      dup2(fileno(f), 0);  // shares the offset, which the rewind moves
      rewind(f);
      fclose(f);
      return;
    }
    int fds[2];
    if (pipe(fds) != 0) abort();
    dup2(fds[0], 0);
    close(fds[0]);
    // A reader that stops early closes the pipe: the write must fail with
    // EPIPE rather than the signal ending the test process.
    signal(SIGPIPE, SIG_IGN);
    const size_t step = feed == Feed::pipe_bytewise ? 1 : 65536;
    feeder_ = std::thread([w = fds[1], step, data = std::move(body)] {
      for (size_t i = 0; i < data.size();) {
        const ssize_t r =
            write(w, data.data() + i, std::min(step, data.size() - i));
        if (r <= 0) break;
        i += static_cast<size_t>(r);
      }
      close(w);
    });
  }

 private:
  void stop_feeder() {
    if (!feeder_.joinable()) return;
    // The reader may have stopped early: close our end so the feeder's
    // blocked write fails instead of hanging.
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    close(devnull);
    feeder_.join();
  }
  std::thread feeder_;
  int saved_stdin_ = -1;
};

// A multipart body built part by part, as a browser sends it.
class Form {
 public:
  explicit Form(std::string boundary) : boundary_(std::move(boundary)) {}
  Form &field(std::string_view name, std::string_view value) {
    return raw("Content-Disposition: form-data; name=\"" + std::string(name) +
                   "\"\r\n\r\n",
               value);
  }
  Form &file(std::string_view name, std::string_view filename,
             std::string_view mime, std::string_view content) {
    return raw("Content-Disposition: form-data; name=\"" + std::string(name) +
                   "\"; filename=\"" + std::string(filename) +
                   "\"\r\nContent-Type: " + std::string(mime) + "\r\n\r\n",
               content);
  }
  Form &raw(std::string_view headers_and_blank, std::string_view content) {
    body_ += "--" + boundary_ + "\r\n" + std::string(headers_and_blank) +
             std::string(content) + "\r\n";
    return *this;
  }
  std::string close(std::string_view epilogue = "") const {
    return body_ + "--" + boundary_ + "--" + std::string(epilogue);
  }

 private:
  std::string boundary_, body_;
};

inline std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

// "domain code: message" of an error, "" for none; clears it.
inline std::string describe(GError *&err) {
  if (err == nullptr) return "";
  const std::string s = std::string(g_quark_to_string(err->domain)) + " " +
                        std::to_string(err->code) + ": " + err->message;
  g_clear_error(&err);
  return s;
}
inline std::string text(mpread::Msg msg) { return mpread::message(msg).text; }
// The library's error as describe() gives it: the table's text, its
// conversions filled with args.
template <class... Args>
std::string ours(mpread::Msg msg, Args... args) {
  g_autofree char *text = g_strdup_printf(mpread::message(msg).text, args...);
  return "mpread " + std::to_string(mpread::message(msg).code) + ": " + text;
}
// Equal, or where `want` ends in ':' or ' ' (another component's text
// follows), its beginning.
inline bool same_error(const std::string &got, const std::string &want) {
  if (want.empty() || (want.back() != ':' && want.back() != ' '))
    return got == want;
  return got.size() > want.size() && got.compare(0, want.size(), want) == 0;
}
#define EXPECT_ERROR(err, want)                                      \
  do {                                                               \
    EXPECT_PRED2(testreq::same_error, testreq::describe(err), want); \
  } while (0)

// A call that delivers a chunk of at most `size` bytes into `buf` and its
// count in *length, as mpread_get_part_buffer does.
using ChunkCall =
    std::function<int(char *buf, size_t size, size_t *length, GError **error)>;
// Calls `call` with chunks of `chunk` bytes until a count of 0 (result 1)
// or a result other than 1, which it returns (-2 when a call changed bytes
// past the count it gave: they are the caller's). The bytes delivered are
// appended to `out`.
inline int take_chunks(const ChunkCall &call, size_t chunk, std::string &out,
                       GError **error) {
  std::vector<char> canary(chunk), buf(chunk);
  for (size_t i = 0; i < chunk; i++)
    canary[i] = static_cast<char>(0xa5 ^ (i * 131 % 251));
  for (;;) {
    buf = canary;
    size_t len = 0;
    const int r = call(buf.data(), chunk, &len, error);
    if (len > chunk ||
        memcmp(buf.data() + len, canary.data() + len, chunk - len) != 0) {
      ADD_FAILURE() << "bytes past the " << len << " delivered changed";
      return -2;
    }
    if (r != 1 || len == 0) return r;
    out.append(buf.data(), len);
  }
}
inline int take_content(size_t chunk, std::string &out, GError **error) {
  return take_chunks(mpread_get_part_buffer, chunk, out, error);
}

// One call of mpread_get_next_part and what came of the part.
struct Step {
  int result = 0;
  std::string error, name;
  std::optional<std::string> mime, filename;
  std::string content;
  int content_result = 0;  // 1 complete, 0 body ended, -1 failed
  std::string content_error;
};
// Leaves each part's content untaken.
inline constexpr size_t untaken = SIZE_MAX;
// Walks the form from where it stands, going on after every failure until
// the walk ends (which must happen within 1000 parts). Content is taken in
// chunks of `chunk` bytes; with chunk 0 written to `out`, or to a memory
// file read back into the step.
inline std::vector<Step> walk(size_t chunk, int out = -1) {
  std::vector<Step> steps;
  GError *err = nullptr;
  while (steps.size() < 1000) {
    Step &s = steps.emplace_back();
    MpreadPart p{};
    s.result = mpread_get_next_part(&p, &err);
    s.error = describe(err);
    EXPECT_EQ(s.result < 0, !s.error.empty()) << s.error;
    if (s.result == 0) return steps;
    if (s.result != 1) continue;
    s.name = p.name;
    if (p.mime) s.mime = p.mime;
    if (p.filename) s.filename = p.filename;
    mpread_release_part(&p);
    if (chunk == untaken) continue;
    if (chunk > 0) {
      s.content_result = take_content(chunk, s.content, &err);
    } else {
      const int fd = out >= 0 ? out : memfd_create("part", 0);
      s.content_result = mpread_write_part_to_file(fd, &err) ? 1 : -1;
      if (out < 0) {
        s.content.resize(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
        EXPECT_EQ(pread(fd, s.content.data(), s.content.size(), 0),
                  static_cast<ssize_t>(s.content.size()));
        close(fd);
      }
    }
    s.content_error = describe(err);
  }
  ADD_FAILURE() << "the walk did not end";
  return steps;
}
// The error of a call, or the part's name, its file name in brackets, its
// type in parentheses, '=' and what came of its content.
inline std::string line(const Step &s) {
  if (s.result != 1) return s.error;
  const std::string end = std::to_string(s.content_result) + s.content_error;
  return s.name + (s.filename ? "[" + *s.filename + "]" : "") +
         (s.mime ? "(" + *s.mime + ")" : "") + "=" + s.content +
         (s.content_result == 1 ? "" : "|" + end);
}
// The walk's steps as line() gives them.
using Lines = std::vector<std::string>;
inline Lines lines(size_t chunk) {
  Lines out;
  for (const Step &s : walk(chunk)) out.push_back(line(s));
  return out;
}

// Tests of the reader: the library is released after each.
class ReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  // A form on descriptor 0, taken up afresh; false (err set) when refused.
  bool start(const std::string &boundary, std::string body,
             Feed feed = Feed::file) {
    mpread_release();
    req.form(boundary, std::move(body), feed);
    return mpread_init(&err);
  }
  Request req;
  GError *err = nullptr;
};

}  // namespace testreq

#endif
