// Puts a CGI request in place for in-process tests: the CGI variables in the
// environment and the body on descriptor 0, through a temporary file or a
// pipe fed by a thread (optionally a few bytes at a time, so that every
// split point of the input is exercised).
#ifndef MPREAD_TESTS_REQUEST_H
#define MPREAD_TESTS_REQUEST_H

#include <glib.h>
#include <string.h>

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace testreq {

enum class Feed { file, pipe_whole, pipe_bytewise };
inline constexpr Feed all_feeds[] = {Feed::file, Feed::pipe_whole,
                                     Feed::pipe_bytewise};
const char *feed_name(Feed feed);

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

// Asserts domain and code, that the message passes `test`, then frees the
// error.
#define EXPECT_GERROR_IF(err, want_domain, want_code, test)       \
  do {                                                           \
    ASSERT_NE((err), nullptr);                                   \
    EXPECT_EQ((err)->domain, (want_domain));                     \
    EXPECT_EQ((err)->code, static_cast<int>(want_code));         \
    EXPECT_TRUE(test) << (err)->message;                         \
    g_clear_error(&(err));                                       \
  } while (0)
#define EXPECT_GERROR(err, want_domain, want_code, want_message) \
  EXPECT_GERROR_IF(err, want_domain, want_code,                  \
                   g_strcmp0((err)->message, (want_message)) == 0)
// For errors whose text belongs to another component: the message must
// begin with prefix (nothing in between) and be longer.
#define EXPECT_GERROR_PREFIX(err, want_domain, want_code, prefix)    \
  EXPECT_GERROR_IF(err, want_domain, want_code,                      \
                   g_str_has_prefix((err)->message, (prefix)) &&     \
                       strlen((err)->message) > strlen(prefix))

std::string random_bytes(size_t n, unsigned seed);

// One part as a caller of the library sees it.
struct Seen {
  std::string name;
  std::optional<std::string> mime, filename;
  std::string content;
};

// Takes the current part's content in chunks of `chunk` bytes until a chunk
// of length 0 (result 1) or a result other than 1, which it returns.
int take_content(size_t chunk, std::string &out, GError **error);

// Walks the form from where it stands, taking each part's content in chunks
// of `chunk` bytes (0: leaves it untaken), until a result other than 1.
struct Walk {
  std::vector<Seen> parts;
  int last = 0;  // result that ended the walk
};
Walk walk_form(size_t chunk, GError **error);

}  // namespace testreq

#endif
