// Test support: a CGI request put in place for in-process tests (the CGI
// variables in the environment, the body on descriptor 0 through a
// temporary file or a pipe fed by a thread, whole or a byte at a time so
// that every split point of the input is met), forms built part by part,
// and walks of a form as a careful CGI program drives them.
#ifndef MPREAD_TESTS_REQUEST_H
#define MPREAD_TESTS_REQUEST_H

#include <glib.h>
#include <gtest/gtest.h>
#include <string.h>

#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "messages.h"
#include "mpread.h"

namespace testreq {

enum class Feed { file, pipe_whole, pipe_bytewise };
inline constexpr Feed all_feeds[] = {Feed::file, Feed::pipe_whole, Feed::pipe_bytewise};
const char *feed_name(Feed feed);

class Request {
 public:
  Request() = default;
  ~Request();
  Request(const Request &) = delete;
  Request &operator=(const Request &) = delete;
  // REQUEST_METHOD=POST, CONTENT_TYPE with the boundary, CONTENT_LENGTH the
  // body's size, and the body.
  void form(std::string_view boundary, std::string body, Feed feed = Feed::file);
  void body(std::string body, Feed feed = Feed::file);  // the body alone
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
  Form &file(std::string_view name, std::string_view filename, std::string_view mime,
             std::string_view content);
  Form &raw(std::string_view headers_and_blank, std::string_view content);
  std::string close(std::string_view epilogue = "") const;

 private:
  std::string boundary_, body_;
};

std::string random_bytes(size_t n, unsigned seed);

// "domain code: message" of an error, "" for none; clears it.
std::string describe(GError *&err);
inline std::string text(mpread::Msg msg) { return mpread::message(msg).text; }
// The library's error as describe() gives it: the table's text, its
// conversions filled with args.
template <class... Args>
std::string ours(mpread::Msg msg, Args... args) {
  char *text = g_strdup_printf(mpread::message(msg).text, args...);
  std::string s = "mpread " + std::to_string(mpread::message(msg).code) + ": " + text;
  g_free(text);
  return s;
}
// Equal, or where `want` ends in ':' or ' ' (another component's text
// follows), its beginning.
inline bool same_error(const std::string &got, const std::string &want) {
  if (want.empty() || (want.back() != ':' && want.back() != ' ')) return got == want;
  return got.size() > want.size() && got.compare(0, want.size(), want) == 0;
}
#define EXPECT_ERROR(err, want) \
  do { EXPECT_PRED2(testreq::same_error, testreq::describe(err), want); } while (0)
// Domain, code and message (or, for _PREFIX, its beginning); frees the error.
#define EXPECT_GERROR(err, domain, code, message) \
  EXPECT_ERROR(err, std::string(g_quark_to_string(domain)) + " " + std::to_string(code) + ": " + (message))
#define EXPECT_GERROR_PREFIX(err, domain, code, prefix) \
  EXPECT_ERROR(err, std::string(g_quark_to_string(domain)) + " " + std::to_string(code) + ": " + (prefix))

// Takes the current part's content in chunks of `chunk` bytes until a chunk
// of length 0 (result 1) or a result other than 1, which it returns.
int take_content(size_t chunk, std::string &out, GError **error);

// One call of mpread_get_next_part and what came of the part.
struct Step {
  int result = 0;
  std::string error{};
  std::string name{};
  std::optional<std::string> mime{}, filename{};
  std::string content{};
  int content_result = 0;  // 1 complete, 0 body ended, -1 failed
  std::string content_error{};
};
// Leaves each part's content untaken.
inline constexpr size_t untaken = SIZE_MAX;
// Walks the form from where it stands, going on after every failure until
// the walk ends (which must happen within 1000 parts). Content is taken in
// chunks of `chunk` bytes; with chunk 0 written to `out`, or to a memory
// file read back into the step.
std::vector<Step> walk(size_t chunk, int out = -1);
// Every part came out whole with these contents, and the walk ended cleanly.
void expect_contents(const std::vector<Step> &steps, const std::vector<std::string> &want);

// Tests of the reader: the library is released after each.
class ReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  // A form on descriptor 0, taken up afresh; false (err set) when refused.
  bool start(const std::string &boundary, std::string body, Feed feed = Feed::file) {
    mpread_release();
    req.form(boundary, std::move(body), feed);
    return mpread_init(&err);
  }
  Request req;
  GError *err = nullptr;
};

}  // namespace testreq

#endif
