#include "request.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <random>

namespace testreq {

Request::~Request() {
  stop_feeder();
  if (saved_stdin_ >= 0) {
    dup2(saved_stdin_, 0);
    close(saved_stdin_);
  }
}

void Request::stop_feeder() {
  if (feeder_.joinable()) {
    // The reader may have stopped early: close our end so the feeder's
    // blocked write fails instead of hanging.
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    close(devnull);
    feeder_.join();
  }
}

void Request::env(const char *name, const char *value) {
  if (value == nullptr)
    unsetenv(name);
  else
    setenv(name, value, 1);
}

void Request::form(std::string_view boundary, std::string body, Feed feed) {
  env("REQUEST_METHOD", "POST");
  std::string ct = "multipart/form-data; boundary=" + std::string(boundary);
  env("CONTENT_TYPE", ct.c_str());
  env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
  this->body(std::move(body), feed);
}

void Request::body(std::string body, Feed feed) {
  stop_feeder();
  if (saved_stdin_ < 0) saved_stdin_ = dup(0);
  if (feed == Feed::file) {
    FILE *f = tmpfile();
    if (!body.empty()) fwrite(body.data(), 1, body.size(), f);
    fflush(f);
    int fd = dup(fileno(f));
    fclose(f);
    lseek(fd, 0, SEEK_SET);
    dup2(fd, 0);
    close(fd);
    return;
  }
  int fds[2];
  if (pipe(fds) != 0) abort();
  dup2(fds[0], 0);
  close(fds[0]);
  int w = fds[1];
  size_t step = feed == Feed::pipe_bytewise ? 1 : 65536;
  feeder_ = std::thread([w, step, data = std::move(body)] {
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
  body_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" +
           std::string(name) + "\"\r\n\r\n" + std::string(value) + "\r\n";
  return *this;
}

Form &Form::file(std::string_view name, std::string_view filename,
                 std::string_view mime, std::string_view content) {
  body_ += "--" + boundary_ + "\r\nContent-Disposition: form-data; name=\"" +
           std::string(name) + "\"; filename=\"" + std::string(filename) +
           "\"\r\nContent-Type: " + std::string(mime) + "\r\n\r\n" +
           std::string(content) + "\r\n";
  return *this;
}

Form &Form::raw(std::string_view headers_and_blank, std::string_view content) {
  body_ += "--" + boundary_ + "\r\n" + std::string(headers_and_blank) +
           std::string(content) + "\r\n";
  return *this;
}

std::string Form::close(std::string_view epilogue) const {
  return body_ + "--" + boundary_ + "--" + std::string(epilogue);
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

}  // namespace testreq
