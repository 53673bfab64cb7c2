#include "request.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "mpread.h"

namespace testreq {

Request::~Request() {
  stop_feeder();
  if (saved_stdin_ >= 0) {
    dup2(saved_stdin_, 0);
    close(saved_stdin_);
  }
}

void Request::stop_feeder() {
  if (!feeder_.joinable()) return;
  // The reader may have stopped early: close our end so the feeder's
  // blocked write fails instead of hanging.
  int devnull = open("/dev/null", O_RDONLY);
  dup2(devnull, 0);
  close(devnull);
  feeder_.join();
}

void Request::env(const char *name, const char *value) {
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
}

void Request::form(std::string_view boundary, std::string body, Feed feed) {
  env("REQUEST_METHOD", "POST");
  env("CONTENT_TYPE", ("multipart/form-data; boundary=" + std::string(boundary)).c_str());
  env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
  this->body(std::move(body), feed);
}

void Request::body(std::string body, Feed feed) {
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
  int w = fds[1];
  size_t step = feed == Feed::pipe_bytewise ? 1 : 65536;
  feeder_ = std::thread([w, step, data = std::move(body)] {
    // A reader that stops early closes the pipe: the write must fail with
    // EPIPE rather than the signal ending the test process.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    for (size_t i = 0; i < data.size();) {
      size_t n = std::min(step, data.size() - i);
      ssize_t r = write(w, data.data() + i, n);
      if (r <= 0) break;
      i += static_cast<size_t>(r);
    }
    close(w);
  });
}

Form &Form::field(std::string_view name, std::string_view value) {
  return raw("Content-Disposition: form-data; name=\"" + std::string(name) + "\"\r\n\r\n", value);
}

Form &Form::file(std::string_view name, std::string_view filename, std::string_view mime,
                 std::string_view content) {
  return raw("Content-Disposition: form-data; name=\"" + std::string(name) + "\"; filename=\"" +
             std::string(filename) + "\"\r\nContent-Type: " + std::string(mime) + "\r\n\r\n",
             content);
}

Form &Form::raw(std::string_view headers_and_blank, std::string_view content) {
  body_ += "--" + boundary_ + "\r\n" + std::string(headers_and_blank) + std::string(content) + "\r\n";
  return *this;
}

std::string Form::close(std::string_view epilogue) const {
  return body_ + "--" + boundary_ + "--" + std::string(epilogue);
}

const char *feed_name(Feed feed) {
  static const char *const names[] = {"file", "pipe", "bytewise"};
  return names[static_cast<int>(feed)];
}

std::string describe(GError *&err) {
  if (err == nullptr) return "";
  std::string s = std::string(g_quark_to_string(err->domain)) + " " +
                  std::to_string(err->code) + ": " + err->message;
  g_clear_error(&err);
  return s;
}

int take_content(size_t chunk, std::string &out, GError **error) {
  // A canary in the whole buffer before every call: bytes past the chunk
  // are the caller's, and must come back as they were.
  std::vector<char> canary(chunk), buf(chunk);
  for (size_t i = 0; i < chunk; i++) canary[i] = static_cast<char>(0xa5 ^ (i * 131 % 251));
  size_t len = 0;
  int r;
  for (;;) {
    buf = canary;
    len = 0;
    r = mpread_get_part_buffer(buf.data(), chunk, &len, error);
    if (len > chunk) abort();
    if (memcmp(buf.data() + len, canary.data() + len, chunk - len) != 0) {
      ADD_FAILURE() << "bytes past the " << len << " delivered changed";
      return -2;
    }
    if (r != 1 || len == 0) return r;
    out.append(buf.data(), len);
  }
}

std::vector<Step> walk(size_t chunk, int out) {
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
    } else if (out >= 0) {
      s.content_result = mpread_write_part_to_file(out, &err) ? 1 : -1;
    } else {
      int fd = memfd_create("part", 0);
      s.content_result = mpread_write_part_to_file(fd, &err) ? 1 : -1;
      s.content.resize(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
      EXPECT_EQ(pread(fd, s.content.data(), s.content.size(), 0),
                static_cast<ssize_t>(s.content.size()));
      close(fd);
    }
    s.content_error = describe(err);
  }
  ADD_FAILURE() << "the walk did not end";
  return steps;
}

void expect_contents(const std::vector<Step> &steps, const std::vector<std::string> &want) {
  ASSERT_EQ(steps.size(), want.size() + 1);
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(steps[i].content_result, 1) << steps[i].error << steps[i].content_error;
    // Not EXPECT_EQ: a diff of megabyte strings is of no use.
    EXPECT_TRUE(steps[i].content == want[i]) << "part " << i;
  }
  EXPECT_EQ(steps.back().error, "");
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

}  // namespace testreq
