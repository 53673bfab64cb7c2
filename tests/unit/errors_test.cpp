// Every way a call can fail, each with its code and the text of the
// library's table (the manual's list too), and the library's life cycle.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "intake.h"
#include "messages.h"
#include "reader_test.h"
#include "reqinfo.h"

using namespace testreq;
using mpread::Msg;

namespace {

class Errors : public ReaderTest {};

// The error a scenario ends in: the domain, the code, and the whole text
// (or, for texts of the request components, what it begins with).
struct Expect {
  GQuark domain;
  int code;
  std::string text;
  bool whole = true;
};
Expect ours(Msg msg) { return {MPREAD_ERROR, mpread::message(msg).code, mpread::message(msg).text}; }
Expect formatted(Msg msg, auto... args) {
  char *text = g_strdup_printf(mpread::message(msg).text, args...);
  Expect e{MPREAD_ERROR, mpread::message(msg).code, text};
  g_free(text);
  return e;
}
Expect request(GQuark domain, int code, std::string begins = "") {
  return {domain, code, std::move(begins), false};
}
// A component's error after the prefix that names the step.
Expect prefixed(Msg prefix, GQuark domain, int code, std::string rest = "") {
  return {domain, code, mpread::message(prefix).text + rest, !rest.empty()};
}
void expect_error(GError *&err, const Expect &want) {
  if (want.whole)
    EXPECT_GERROR(err, want.domain, want.code, want.text.c_str());
  else
    EXPECT_GERROR_PREFIX(err, want.domain, want.code, want.text.c_str());
}

TEST_F(Errors, InitRefusesTheRequest) {
  const char *const M = "REQUEST_METHOD", *const T = "CONTENT_TYPE", *const L = "CONTENT_LENGTH";
  const struct {
    const char *what, *variable, *value;  // value null: unset
    std::string body;
    Expect error;
  } scenarios[] = {
      {"no request method", M, nullptr, "--b", request(REQINFO_ERROR, REQINFO_ERROR_MISSING)},
      {"a GET", M, "GET", "--b", ours(Msg::unsupported_method)},
      {"post in lower case", M, "post", "--b", ours(Msg::unsupported_method)},
      {"no content type", T, nullptr, "--b", request(REQINFO_ERROR, REQINFO_ERROR_MISSING)},
      {"an unclosed quote in the content type", T, "multipart/form-data; boundary=\"b", "--b",
       request(REQINFO_ERROR, REQINFO_ERROR_PARSE)},
      {"no boundary", T, "multipart/form-data", "--b", ours(Msg::no_boundary)},
      {"an empty length", L, "", "--b", request(REQINFO_ERROR, REQINFO_ERROR_INVALID)},
      {"a preamble before the delimiter", M, "POST", "x--b\r\n", ours(Msg::bad_start)},
      {"CR LF before the delimiter", M, "POST", "\r\n--b\r\n", ours(Msg::bad_start)},
      {"another boundary's delimiter", M, "POST", "--c\r\n", ours(Msg::bad_start)},
      {"a body shorter than its length", L, "100", "--",
       {INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, "Request body ended after 2 of 100 bytes"}},
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (const auto &s : scenarios) {
      SCOPED_TRACE(testing::Message() << s.what << " " << feed_name(feed));
      mpread_release();
      req.form("b", s.body, feed);
      Request::env(s.variable, s.value);
      EXPECT_FALSE(mpread_init(&err));
      expect_error(err, s.error);
      // Refused, the library stays uninitialised.
      EXPECT_FALSE(mpread_init(nullptr));
      MpreadPart p{};
      EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
      expect_error(err, ours(Msg::not_initialized));
    }
}

// Content that looks like a further part: after a failure it must be
// skipped, never read as headers.
const std::string evil =
    "x--b\r\nContent-Disposition: form-data; name=\"evil\"\r\n\r\n" + std::string(5000, 'e');

// A form of "before", a part with these headers and `evil` as content, and
// "after".
std::string around(const std::string &headers) {
  return Form("b").field("before", "1").raw(headers, evil).field("after", "ok").close();
}

// The walk goes on after the failure to "after", whole, and ends cleanly.
void expect_after(GError *&err) {
  Walk w = walk_form(64, &err);
  ASSERT_EQ(w.parts.size(), 1u);
  EXPECT_EQ(w.parts[0].name, "after");
  EXPECT_EQ(w.parts[0].content, "ok");
  EXPECT_EQ(w.last, 0);
  EXPECT_EQ(err, nullptr);
}

TEST_F(Errors, NextPartRefusesThePart) {
  const std::string cd = "Content-Disposition: form-data; name=\"a\"\r\n";
  const struct {
    const char *what;
    std::string headers;
    Expect error;
  } scenarios[] = {
      {"two dispositions", cd + cd + "\r\n", ours(Msg::duplicate_disposition)},
      {"two types in other cases", cd + "Content-Type: a/b\r\ncontent-type: c/d\r\n\r\n",
       ours(Msg::duplicate_type)},
      // A bare LF does not end the block: the content is read as headers.
      {"a bare LF ending the block", cd + "\nContent-Type: a/b\r\nContent-Type: c/d\r\n",
       ours(Msg::duplicate_type)},
      {"no disposition", "Content-Type: text/plain\r\n\r\n", ours(Msg::no_disposition)},
      // Only the whole name and a colon make the header.
      {"dispositions misnamed", "Content-Disposition form-data; name=\"a\"\r\n"
       "Content-Dispositions: form-data; name=\"a\"\r\n\r\n", ours(Msg::no_disposition)},
      {"no name", "Content-Disposition: form-data\r\n\r\n", ours(Msg::no_name)},
      {"an empty name before an empty file name",
       "Content-Disposition: form-data; name=\"\"; filename=\"\"\r\n\r\n", ours(Msg::no_name)},
      {"an empty file name", "Content-Disposition: form-data; name=\"a\"; filename=\"\"\r\n\r\n",
       ours(Msg::invalid_filename)},
      // An encoded file name that cannot be read is no text field.
      {"an unreadable filename*",
       "Content-Disposition: form-data; name=\"a\"; filename*=UTF-8''%E2%8\r\n\r\n",
       ours(Msg::invalid_filename)},
      {"an empty type", cd + "Content-Type: ; charset=x\r\n\r\n", ours(Msg::invalid_mime)},
      {"a disposition that does not parse", "Content-Disposition: form-data; name=\"a\r\n\r\n",
       prefixed(Msg::parse_disposition, REQINFO_ERROR, REQINFO_ERROR_PARSE)},
      {"a type that does not parse", cd + "Content-Type: a/b; charset=\"x\r\n\r\n",
       prefixed(Msg::parse_type, REQINFO_ERROR, REQINFO_ERROR_PARSE)},
      // Errors of the body buffer inside a header block have no prefix.
      {"an overlong header line", cd + "X-Long: " + std::string(5000, 'l') + "\r\n\r\n",
       {INTAKE_ERROR, INTAKE_ERROR_LINE_TOO_LONG,
        "Line of 5010 bytes exceeds the limit of 4095 bytes"}},
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (const auto &s : scenarios) {
      SCOPED_TRACE(testing::Message() << s.what << " " << feed_name(feed));
      ASSERT_TRUE(start("b", around(s.headers), feed)) << err->message;
      MpreadPart p{};
      ASSERT_EQ(mpread_get_next_part(&p, &err), 1);  // "before"
      mpread_release_part(&p);
      EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
      expect_error(err, s.error);
      expect_after(err);
    }
}

TEST_F(Errors, ContentCallsRefuse) {
  const int ro = open("/dev/null", O_RDONLY), null = open("/dev/null", O_WRONLY);
  const struct {
    const char *what;
    std::function<int(GError **)> call;  // on the part "a"
    Expect error;
  } scenarios[] = {
      {"a null part record", [](GError **e) { return mpread_get_next_part(nullptr, e); },
       ours(Msg::null_part)},
      {"content taken after it was written",
       [&](GError **e) {
         EXPECT_TRUE(mpread_write_part_to_file(null, e));
         std::string got;
         return take_content(64, got, e);
       },
       ours(Msg::not_at_content)},
      {"a negative descriptor", [](GError **e) { return mpread_write_part_to_file(-1, e) - 1; },
       ours(Msg::invalid_fd)},
      {"a closed descriptor", [](GError **e) {
         const int closed = dup(1);
         close(closed);
         return mpread_write_part_to_file(closed, e) - 1;
       },
       ours(Msg::inaccessible_fd)},
      {"a read-only descriptor", [&](GError **e) { return mpread_write_part_to_file(ro, e) - 1; },
       formatted(Msg::write_failed, ro, g_strerror(EBADF))},
  };
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(start("b", around("Content-Disposition: form-data; name=\"a\"\r\n\r\n")));
    MpreadPart p{};
    for (int i = 0; i < 2; i++) {  // "before", then "a"
      ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
      mpread_release_part(&p);
    }
    EXPECT_EQ(s.call(&err), -1);
    expect_error(err, s.error);
    expect_after(err);
  }
  close(ro);
  close(null);
}

// The body breaks off 1000 bytes into the content of "a", while
// CONTENT_LENGTH promises all of it, or (ended) says that this is all.
TEST_F(Errors, BodyCutInsideContent) {
  const std::string body = around("Content-Disposition: form-data; name=\"a\"\r\n\r\n");
  const size_t sent = body.find(evil) + 1000;
  const std::string cut = "Request body ended after " + std::to_string(sent) + " of " +
                          std::to_string(body.size()) + " bytes";
  const int kept = memfd_create("kept", 0);
  std::string got;
  const struct {
    const char *what;
    bool ended;
    std::function<int(GError **)> call;
    Expect error;
  } scenarios[] = {
      {"skipped to the next part", false,
       [](GError **e) {
         MpreadPart p{};
         return mpread_get_next_part(&p, e);
       },
       prefixed(Msg::search_boundary, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, cut)},
      {"taken in chunks", false, [&](GError **e) { return take_content(64, got, e); },
       prefixed(Msg::search_content, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, cut)},
      {"written", false, [&](GError **e) { return mpread_write_part_to_file(kept, e) - 1; },
       prefixed(Msg::search_content, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, cut)},
      {"written, the body ended", true,
       [&](GError **e) { return mpread_write_part_to_file(kept, e) - 1; },
       ours(Msg::content_unterminated)},
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (const auto &s : scenarios) {
      SCOPED_TRACE(testing::Message() << s.what << " " << feed_name(feed));
      mpread_release();
      req.form("b", body.substr(0, sent), feed);
      Request::env("CONTENT_LENGTH", std::to_string(s.ended ? sent : body.size()).c_str());
      ASSERT_TRUE(mpread_init(&err));
      MpreadPart p{};
      for (int i = 0; i < 2; i++) {
        ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
        mpread_release_part(&p);
      }
      ASSERT_EQ(ftruncate(kept, 0), 0);
      lseek(kept, 0, SEEK_SET);
      EXPECT_EQ(s.call(&err), -1);
      expect_error(err, s.error);
      if (s.ended) {  // what there was is written; the walk then ends
        got.assign(1001, '\0');
        EXPECT_EQ(pread(kept, got.data(), got.size(), 0), 1000);
        EXPECT_EQ(got.substr(0, 1000), evil.substr(0, 1000));
        EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
        EXPECT_EQ(err, nullptr);
      }
    }
  close(kept);
}

// The manual's ERRORS list is the table: per entry the code, the name
// mpread.h gives it, and each text, an italic word standing for each
// conversion of the format.
TEST(Manual, ErrorListIsTheTable) {
  auto read = [](const char *file) {
    std::ifstream in(std::string(MPREAD_SOURCE_DIR "/") + file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  std::map<int, std::string> names;
  const std::string header = read("include/mpread.h");
  const std::regex enumerator("(MPREAD_ERROR_[A-Z_]+) = ([0-9]+)");
  for (std::sregex_iterator m(header.begin(), header.end(), enumerator), end; m != end; ++m)
    names[std::stoi((*m)[2])] = (*m)[1];
  std::vector<std::string> want, got;
  const std::regex conversion("%[a-z]+");
  for (const auto &m : mpread::messages)
    if (m.code != 0)
      want.push_back(std::to_string(m.code) + " " + names[m.code] + " " +
                     std::regex_replace(m.text, conversion, "*"));
  // .TP, then .BR code " NAME", then one text per line, apart by .br; an
  // .IP paragraph after them explains.
  std::istringstream page(read("man/mpread.3"));
  const std::regex tag("\\.BR ([0-9]+) \" (MPREAD_ERROR_[A-Z_]+)\""), italic("\\\\fI.*?\\\\fP");
  std::string line, entry;
  bool in_list = false, in_texts = false;
  while (std::getline(page, line) && !(in_list && line == ".PP")) {
    std::smatch m;
    if (line == ".SH ERRORS") in_list = true;
    else if (!in_list) continue;
    else if (std::regex_match(line, m, tag)) entry = std::string(m[1]) + " " + m[2].str(), in_texts = true;
    else if (line == ".IP" || line == ".TP") in_texts = false;
    else if (in_texts && line != ".br" && !entry.empty())
      got.push_back(entry + " " + std::regex_replace(std::regex_replace(line, italic, "*"),
                                                     std::regex("\\\\-"), "-"));
  }
  EXPECT_EQ(got, want);
}

TEST_F(Errors, LifeCycle) {
  char buf[4];
  size_t len;
  // Before init every call says so, before judging its arguments.
  EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1);
  expect_error(err, ours(Msg::not_initialized));
  EXPECT_EQ(mpread_get_part_buffer(buf, sizeof buf, &len, &err), -1);
  expect_error(err, ours(Msg::not_initialized));
  EXPECT_FALSE(mpread_write_part_to_file(-1, &err));
  expect_error(err, ours(Msg::not_initialized));
  EXPECT_EQ(MPREAD_ERROR, g_quark_from_string("mpread"));
  mpread_release_part(nullptr);
  mpread_release();

  // A second init examines nothing again: the first request stands.
  req.form("b", Form("b").field("f", "first").close());
  ASSERT_TRUE(mpread_init(&err));
  Request::env("REQUEST_METHOD", "GET");
  EXPECT_TRUE(mpread_init(&err));
  Walk w = walk_form(16, &err);
  ASSERT_EQ(w.parts.size(), 1u);
  EXPECT_EQ(w.parts[0].content, "first");
  mpread_release();
  mpread_release();

  // The largest length is a limit like any other: no overflow in the
  // buffer's arithmetic.
  const std::string content = random_bytes(9000, 7);
  for (Feed feed : {Feed::file, Feed::pipe_whole}) {
    req.form("c", Form("c").file("g", "g.bin", "a/b", content).close("\r\n"), feed);
    Request::env("CONTENT_LENGTH", std::to_string(SIZE_MAX).c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    w = walk_form(4096, &err);
    ASSERT_EQ(w.parts.size(), 1u);
    EXPECT_TRUE(w.parts[0].content == content);
    EXPECT_EQ(w.last, 0);
    mpread_release();
  }
}

}  // namespace
