// Taking up a request, the library's life cycle, and its list of errors.
// How the components judge the CGI variables is their own table
// (reqinfo_test.cpp); the headers of a part are in the attack table.
#include <gtest/gtest.h>

#include "request.h"

using namespace testreq;
using mpread::Msg;

namespace {

class Errors : public ReaderTest {};

// The CGI variables and the start of the body as the request gives them:
// refused with the error given, or taken ("") and walked. A refusal of a
// component is passed on as it was raised.
TEST_F(Errors, InitTakesOrRefusesTheRequest) {
  const char *const M = "REQUEST_METHOD", *const T = "CONTENT_TYPE",
                    *const L = "CONTENT_LENGTH",
                    *const body = "body";  // the body begins with the value
  const std::string ct = "multipart/form-data; boundary=", b70(70, 'B');
  const struct {
    const char *what, *variable;
    std::optional<std::string> value;  // none: unset
    std::string error, boundary = "b";
  } scenarios[] = {
      {"no request method", M, std::nullopt, "reqinfo 1: "},
      {"a GET", M, "GET", ours(Msg::unsupported_method)},
      {"post in lower case", M, "post", ours(Msg::unsupported_method)},
      {"an unclosed quote", T, "multipart/form-data; boundary=\"b",
       "reqinfo 3: "},
      {"no boundary", T, "multipart/form-data", ours(Msg::no_boundary)},
      {"an empty boundary", T, ct, "", ""},
      {"70 characters", T, ct + b70, "", b70},
      {"71 characters", T, ct + b70 + "B",
       ours(Msg::boundary_too_long, 70u, size_t{71})},
      // The boundary is used as the component gives it, unquoted.
      {"escapes in quotes", T, ct + "\"a\\\"b\\\\c\"", "", "a\"b\\c"},
      {"a length of 0", L, "0", "reqinfo 2: CONTENT_LENGTH is 0: no body"},
      {"a preamble", body, "x", ours(Msg::bad_start)},
      {"CR LF before the delimiter", body, "\r\n", ours(Msg::bad_start)},
      {"another boundary's delimiter", body, "--c\r\n", ours(Msg::bad_start)},
  };
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.what);
    mpread_release();
    const std::string form =
        Form(s.boundary).field("a", "ok\r\n-").close("\r\n");
    req.form(s.boundary, s.variable == body ? *s.value + form : form);
    if (s.variable != body)
      Request::env(s.variable, s.value ? s.value->c_str() : nullptr);
    const bool ok = mpread_init(&err);
    EXPECT_ERROR(err, s.error);
    if (ok) expect_contents(walk(4096), {"ok\r\n-"});
    if (ok) continue;
    // Refused, the library stays uninitialised, and every call says so
    // before judging its arguments.
    char buf[4];
    size_t len;
    EXPECT_FALSE(mpread_init(nullptr));
    EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1);
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
    EXPECT_EQ(mpread_get_part_buffer(buf, sizeof buf, &len, &err), -1);
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
    EXPECT_FALSE(mpread_write_part_to_file(-1, &err));
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
  }
}

TEST_F(Errors, LifeCycle) {
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
  each_feed([&](Feed feed) {
    req.form("c", Form("c").file("g", "g.bin", "a/b", content).close("\r\n"),
             feed);
    Request::env("CONTENT_LENGTH", std::to_string(SIZE_MAX).c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    expect_contents(walk(4096), {content});
    mpread_release();
  });
}

// The list as callers see it, written out here rather than taken from the
// library's own: a row that lost its code or text fails here, not only in a
// scenario that meets it.
TEST(Messages, EachNameHasItsCodeAndText) {
  const struct {
    Msg msg;
    int code;
    const char *text;
  } listed[] = {
      {Msg::not_initialized, 1, "Mpread has not been initialized"},
      {Msg::unsupported_method, 2,
       "Only the POST request method is supported for multipart/form-data"},
      {Msg::no_boundary, 3, "No boundary set in the Content-Type"},
      {Msg::boundary_too_long, 4,
       "Boundary is too long max len %u actual length %zu"},
      {Msg::bad_start, 5, "Request does not start with the boundary line"},
      {Msg::null_part, 6, "Null form data part struct is not allowed"},
      {Msg::duplicate_disposition, 7,
       "Form data part contain duplicate Content-Disposition headers"},
      {Msg::duplicate_type, 7,
       "Form data part contain duplicate Content-Type headers"},
      {Msg::no_disposition, 8,
       "Form data part does not contain a Content-Disposition"},
      {Msg::no_name, 9, "Form data part name is not set"},
      {Msg::invalid_filename, 10, "Form data part contains a invalid filename"},
      {Msg::invalid_mime, 11, "Form data part contains a invalid mime"},
      {Msg::not_at_content, 12,
       "Not at the start of the form data part's file content"},
      {Msg::invalid_fd, 13, "Invalid file descriptor to write part data to"},
      {Msg::inaccessible_fd, 13,
       "Invalid file descriptor unable to access file"},
      {Msg::write_failed, 14, "Failed to write to file descriptor %d: %s"},
      {Msg::content_unterminated, 15,
       "Request body ended inside the part's content"},
      {Msg::search_boundary, 0, "Error while searching for boundary:"},
      {Msg::read_boundary, 0, "Error while reading boundary:"},
      {Msg::parse_disposition, 0, "Failed to parse Content-Disposition:"},
      {Msg::parse_type, 0, "Failed to parse Content-Type:"},
      {Msg::search_content, 0,
       "Error while searching for next form data part:"},
  };
  ASSERT_EQ(std::size(listed), std::size(mpread::messages));
  for (const auto &m : listed) {
    EXPECT_EQ(mpread::message(m.msg).code, m.code) << m.text;
    EXPECT_STREQ(mpread::message(m.msg).text, m.text);
  }
}

}  // namespace
