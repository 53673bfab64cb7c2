// Every way a call can fail, each with its code and the text of the
// library's table (the manual's list too), and the library's life cycle.
// The headers of a part are in the attack table, HostilePartHeaders.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "request.h"

using namespace testreq;
using mpread::Msg;

namespace {

class Errors : public ReaderTest {};

// The CGI variables and the start of the body as the request gives them:
// refused with the error given, or taken ("") and walked.
TEST_F(Errors, InitTakesOrRefusesTheRequest) {
  const char *const M = "REQUEST_METHOD", *const T = "CONTENT_TYPE", *const L = "CONTENT_LENGTH",
             *const body = "body";  // the body begins with the value
  const std::string ct = "multipart/form-data; boundary=", b70(70, 'B'),
                    max = std::to_string(SIZE_MAX),
                    not_decimal = "reqinfo 2: CONTENT_LENGTH is not a plain decimal number: ",
                    too_large = " is larger than this system's limit of " + max;
  const struct {
    const char *what, *variable;
    std::optional<std::string> value;  // none: unset
    std::string error, boundary = "b";
  } scenarios[] = {
      {"no request method", M, std::nullopt, "reqinfo 1: "},
      {"a GET", M, "GET", ours(Msg::unsupported_method)},
      {"post in lower case", M, "post", ours(Msg::unsupported_method)},
      {"no content type", T, std::nullopt, "reqinfo 1: "},
      {"an unclosed quote", T, "multipart/form-data; boundary=\"b", "reqinfo 3: "},
      {"no boundary", T, "multipart/form-data", ours(Msg::no_boundary)},
      {"an empty boundary", T, ct, "", ""},
      {"70 characters", T, ct + b70, "", b70},
      {"71 characters", T, ct + b70 + "B", ours(Msg::boundary_too_long, 70u, size_t{71})},
      {"8000 characters", T, ct + std::string(8000, 'B'),
       ours(Msg::boundary_too_long, 70u, size_t{8000})},
      {"escapes in quotes", T, ct + "\"a\\\"b\\\\c\"", "", "a\"b\\c"},
      {"two boundaries", T, ct + "one; BOUNDARY=two",
       "reqinfo 3: Parameter is given twice: BOUNDARY"},
      {"blanks and other parameters", T, "multipart/form-data ; charset=utf-8; boundary = xyz ;",
       "", "xyz"},
      {"an empty length", L, "", "reqinfo 2: "},
      {"a length of 0", L, "0", "reqinfo 2: CONTENT_LENGTH is 0: no body"},
      {"a length with letters", L, "12abc", not_decimal + "\"12abc\""},
      // Past the body: the form closes before the body runs short. Past 32
      // bits, a 32-bit system refuses rather than wraps.
      {"a length past 32 bits", L, "4294967297",
       SIZE_MAX == UINT32_MAX ? "reqinfo 2: CONTENT_LENGTH 4294967297" + too_large : ""},
      {"a length past SIZE_MAX", L, max + "0", "reqinfo 2: CONTENT_LENGTH " + max + "0" + too_large},
      {"a preamble", body, "x", ours(Msg::bad_start)},
      {"CR LF before the delimiter", body, "\r\n", ours(Msg::bad_start)},
      {"another boundary's delimiter", body, "--c\r\n", ours(Msg::bad_start)},
  };
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.what);
    mpread_release();
    const std::string form = Form(s.boundary).field("a", "ok\r\n-").close("\r\n");
    req.form(s.boundary, s.variable == body ? *s.value + form : form);
    if (s.variable != body) Request::env(s.variable, s.value ? s.value->c_str() : nullptr);
    const bool ok = mpread_init(&err);
    EXPECT_PRED2(same_error, describe(err), s.error);
    if (ok) expect_contents(walk(4096), {"ok\r\n-"});
    if (ok) continue;
    // Refused, the library stays uninitialised.
    EXPECT_FALSE(mpread_init(nullptr));
    MpreadPart p{};
    EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
  }
}

// A form of "before", the part "a" whose content looks like a further
// part, and "after".
std::string around_a() {
  return Form("b").field("before", "1").field("a", "x--b\r\nContent-Disposition: form-data; "
                                                   "name=\"evil\"\r\n\r\n" + std::string(5000, 'e'))
      .field("after", "ok").close();
}
int write_to_memory(GError **error) {
  const int fd = memfd_create("a", 0);
  const int r = mpread_write_part_to_file(fd, error) - 1;
  close(fd);
  return r;
}
void to_a(GError *&err) {
  MpreadPart p{};
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
    mpread_release_part(&p);
  }
}

// Calls on the part "a" that fail (the content rules are Content's table).
// Refused, the walk goes on to "after",
// whole; with the body cut 1000 bytes into the content while CONTENT_LENGTH
// promises all of it, each step says where it stood.
TEST_F(Errors, ContentCallsFail) {
  const std::string body = around_a();
  const size_t sent = body.find("x--b") + 1000;
  const std::string cut = "Request body ended after " + std::to_string(sent) + " of " +
                          std::to_string(body.size()) + " bytes";
  const auto next = [](GError **e) {
    MpreadPart p{};
    return mpread_get_next_part(&p, e);
  };
  const auto take = [](GError **e) {
    std::string got;
    return take_content(64, got, e);
  };
  const int full = open("/dev/full", O_WRONLY);
  const struct {
    const char *what;
    bool body_cut;
    std::function<int(GError **)> call;
    std::string error;
  } scenarios[] = {
      {"a null part record", false, [](GError **e) { return mpread_get_next_part(nullptr, e); },
       ours(Msg::null_part)},
      {"a full device", false, [&](GError **e) { return mpread_write_part_to_file(full, e) - 1; },
       ours(Msg::write_failed, full, g_strerror(ENOSPC))},
      {"cut, skipped to the next part", true, next, "intake 4: " + text(Msg::search_boundary) + cut},
      {"cut, taken in chunks", true, take, "intake 4: " + text(Msg::search_content) + cut},
      {"cut, written", true, write_to_memory, "intake 4: " + text(Msg::search_content) + cut},
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (const auto &s : scenarios) {
      SCOPED_TRACE(testing::Message() << s.what << " " << feed_name(feed));
      mpread_release();
      req.form("b", body.substr(0, s.body_cut ? sent : body.size()), feed);
      Request::env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
      ASSERT_TRUE(mpread_init(&err));
      to_a(err);
      EXPECT_EQ(s.call(&err), -1);
      EXPECT_EQ(describe(err), s.error);
      if (!s.body_cut) expect_contents(walk(64), {"ok"});
    }
  close(full);
}

// The list as callers see it, written out here rather than taken from the
// library's own: a row that lost its code or text fails here, not only in a
// scenario that meets it.
const struct {
  Msg msg;
  int code;
  const char *text;
} listed[] = {
    {Msg::not_initialized, 1, "Mpread has not been initialized"},
    {Msg::unsupported_method, 2, "Only the POST request method is supported for multipart/form-data"},
    {Msg::no_boundary, 3, "No boundary set in the Content-Type"},
    {Msg::boundary_too_long, 4, "Boundary is too long max len %u actual length %zu"},
    {Msg::bad_start, 5, "Request does not start with the boundary line"},
    {Msg::null_part, 6, "Null form data part struct is not allowed"},
    {Msg::duplicate_disposition, 7, "Form data part contain duplicate Content-Disposition headers"},
    {Msg::duplicate_type, 7, "Form data part contain duplicate Content-Type headers"},
    {Msg::no_disposition, 8, "Form data part does not contain a Content-Disposition"},
    {Msg::no_name, 9, "Form data part name is not set"},
    {Msg::invalid_filename, 10, "Form data part contains a invalid filename"},
    {Msg::invalid_mime, 11, "Form data part contains a invalid mime"},
    {Msg::not_at_content, 12, "Not at the start of the form data part's file content"},
    {Msg::invalid_fd, 13, "Invalid file descriptor to write part data to"},
    {Msg::inaccessible_fd, 13, "Invalid file descriptor unable to access file"},
    {Msg::write_failed, 14, "Failed to write to file descriptor %d: %s"},
    {Msg::content_unterminated, 15, "Request body ended inside the part's content"},
    {Msg::search_boundary, 0, "Error while searching for boundary:"},
    {Msg::read_boundary, 0, "Error while reading boundary:"},
    {Msg::parse_disposition, 0, "Failed to parse Content-Disposition:"},
    {Msg::parse_type, 0, "Failed to parse Content-Type:"},
    {Msg::search_content, 0, "Error while searching for next form data part:"},
};

TEST(Messages, EachNameHasItsCodeAndText) {
  ASSERT_EQ(std::size(listed), std::size(mpread::messages));
  for (const auto &m : listed) {
    EXPECT_EQ(mpread::message(m.msg).code, m.code) << m.text;
    EXPECT_STREQ(mpread::message(m.msg).text, m.text);
  }
}

// The manual's ERRORS list is the same: per entry the code, the name
// mpread.h gives it, and each text, an italic word standing for each
// conversion of the format.
TEST(Manual, ErrorListIsTheTable) {
  auto read = [](const char *file) {
    std::stringstream s;
    s << std::ifstream(std::string(MPREAD_SOURCE_DIR "/") + file).rdbuf();
    return s.str();
  };
  std::map<int, std::string> names;
  const std::string header = read("include/mpread.h");
  const std::regex enumerator("(MPREAD_ERROR_[A-Z_]+) = ([0-9]+)");
  for (std::sregex_iterator m(header.begin(), header.end(), enumerator), end; m != end; ++m)
    names[std::stoi((*m)[2])] = (*m)[1];
  std::vector<std::string> want, got;
  for (const auto &m : listed)
    if (m.code != 0)
      want.push_back(std::to_string(m.code) + " " + names[m.code] + " " +
                     std::regex_replace(m.text, std::regex("%[a-z]+"), "*"));
  // An entry: .TP, .BR code " NAME", its texts one a line apart by .br,
  // then any .IP paragraph that explains.
  std::istringstream page(read("man/mpread.3"));
  const std::regex tag("\\.BR ([0-9]+) \" (MPREAD_ERROR_[A-Z_]+)\""), italic("\\\\fI.*?\\\\fP");
  std::string line, entry;
  bool in_list = false;
  while (std::getline(page, line) && !(in_list && line == ".PP")) {
    std::smatch m;
    if (line == ".SH ERRORS") in_list = true;
    if (!in_list) continue;
    if (std::regex_match(line, m, tag)) entry = m[1].str() + " " + m[2].str();
    else if (line == ".IP" || line == ".TP") entry.clear();
    else if (!entry.empty() && line != ".br")
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
  EXPECT_EQ(describe(err), ours(Msg::not_initialized));
  EXPECT_EQ(mpread_get_part_buffer(buf, sizeof buf, &len, &err), -1);
  EXPECT_EQ(describe(err), ours(Msg::not_initialized));
  EXPECT_FALSE(mpread_write_part_to_file(-1, &err));
  EXPECT_EQ(describe(err), ours(Msg::not_initialized));
  EXPECT_EQ(MPREAD_ERROR, g_quark_from_string("mpread"));
  mpread_release_part(nullptr);
  mpread_release();

  // A second init examines nothing again: the first request stands.
  ASSERT_TRUE(start("b", Form("b").field("f", "first").close()));
  Request::env("REQUEST_METHOD", "GET");
  EXPECT_TRUE(mpread_init(&err));
  expect_contents(walk(16), {"first"});
  mpread_release();
  mpread_release();

  // The largest length is a limit like any other: no overflow in the
  // buffer's arithmetic.
  const std::string content = random_bytes(9000, 7);
  for (Feed feed : {Feed::file, Feed::pipe_whole}) {
    req.form("c", Form("c").file("g", "g.bin", "a/b", content).close("\r\n"), feed);
    Request::env("CONTENT_LENGTH", std::to_string(SIZE_MAX).c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    expect_contents(walk(4096), {content});
    mpread_release();
  }
}

}  // namespace
