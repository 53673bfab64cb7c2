// Puts a CGI request in place for in-process tests: the CGI variables in the
// environment and the body on descriptor 0, through a temporary file or a
// pipe fed by a thread (optionally a few bytes at a time, so that every
// split point of the input is exercised).
#ifndef MPREAD_TESTS_REQUEST_H
#define MPREAD_TESTS_REQUEST_H

#include <glib.h>

#include <string>
#include <string_view>
#include <thread>

namespace testreq {

enum class Feed { file, pipe_whole, pipe_bytewise };

class Request {
 public:
  Request() = default;
  ~Request();
  Request(const Request &) = delete;
  Request &operator=(const Request &) = delete;

  // Sets REQUEST_METHOD=POST, CONTENT_TYPE with the boundary and
  // CONTENT_LENGTH to the body's size unless overridden afterwards.
  void form(std::string_view boundary, std::string body,
            Feed feed = Feed::file);
  // Body on descriptor 0 without touching the environment.
  void body(std::string body, Feed feed = Feed::file);
  static void env(const char *name, const char *value);  // null unsets

 private:
  void stop_feeder();
  std::thread feeder_;
  int saved_stdin_ = -1;
};

// A multipart body built part by part, as a browser sends it.
class Form {
 public:
  explicit Form(std::string boundary) : boundary_(std::move(boundary)) {}
  Form &field(std::string_view name, std::string_view value);
  Form &file(std::string_view name, std::string_view filename,
             std::string_view mime, std::string_view content);
  Form &raw(std::string_view headers_and_blank, std::string_view content);
  std::string close(std::string_view epilogue = "") const;
  const std::string &boundary() const { return boundary_; }

 private:
  std::string boundary_;
  std::string body_;
};

// Asserts domain, code and message together, then frees the error.
#define EXPECT_GERROR(err, domain, code, message)         \
  do {                                                    \
    ASSERT_NE((err), nullptr);                            \
    EXPECT_EQ((err)->domain, (domain));                   \
    EXPECT_EQ((err)->code, (code));                       \
    EXPECT_STREQ((err)->message, (message));              \
    g_clear_error(&(err));                                \
  } while (0)

std::string random_bytes(size_t n, unsigned seed);

}  // namespace testreq

#endif
