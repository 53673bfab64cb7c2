// Taking up a request: what init accepts, how each refusal reads, and the
// library's life cycle (init twice, release twice, init after release).
#include <gtest/gtest.h>

#include "intake.h"
#include "mpread.h"
#include "reqinfo.h"
#include "request.h"

using namespace testreq;

namespace {

class Init : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  Request req;
  GError *err = nullptr;
};

const std::string b70(70, 'b');
const std::string b71(71, 'b');

struct Refusal {
  const char *what;
  const char *method;        // null: unset
  const char *length;        // null: the body's size
  std::string content_type;  // "-": unset
  std::string body;
  GQuark domain;
  int code;
  const char *message;  // null: the component's own text
};

TEST_F(Init, RefusalsCarryTheirCodeAndMessage) {
  const GQuark M = MPREAD_ERROR, R = REQINFO_ERROR, I = INTAKE_ERROR;
  const std::string ct = "multipart/form-data; boundary=";
  const Refusal cases[] = {
      {"no method", nullptr, nullptr, ct + "b", "--b", R, REQINFO_ERROR_MISSING, nullptr},
      {"get", "GET", nullptr, ct + "b", "--b", M, MPREAD_ERROR_UNSUPPORTED_METHOD,
       "Only the POST request method is supported for multipart/form-data"},
      {"lower-case post", "post", nullptr, ct + "b", "--b", M,
       MPREAD_ERROR_UNSUPPORTED_METHOD,
       "Only the POST request method is supported for multipart/form-data"},
      {"no length", "POST", "", ct + "b", "--b", R, REQINFO_ERROR_INVALID, nullptr},
      {"zero length", "POST", "0", ct + "b", "--b", R, REQINFO_ERROR_INVALID, nullptr},
      {"no content type", "POST", nullptr, "-", "--b", R, REQINFO_ERROR_MISSING, nullptr},
      {"bad content type", "POST", nullptr, ct + "\"b", "--b", R, REQINFO_ERROR_PARSE, nullptr},
      {"no boundary", "POST", nullptr, "multipart/form-data", "--b", M,
       MPREAD_ERROR_NO_BOUNDARY, "No boundary set in the Content-Type"},
      {"71 characters", "POST", nullptr, ct + b71, "--" + b71, M,
       MPREAD_ERROR_BOUNDARY_TOO_LONG,
       "Boundary is too long max len 70 actual length 71"},
      {"preamble", "POST", nullptr, ct + "b", "x--b\r\n", M, MPREAD_ERROR_BAD_START,
       "Request does not start with the boundary line"},
      {"leading CR LF", "POST", nullptr, ct + "b", "\r\n--b\r\n", M,
       MPREAD_ERROR_BAD_START, "Request does not start with the boundary line"},
      {"other boundary", "POST", nullptr, ct + "b", "--c\r\n", M,
       MPREAD_ERROR_BAD_START, "Request does not start with the boundary line"},
      {"shorter than delimiter", "POST", nullptr, ct + "bbb", "--b", M,
       MPREAD_ERROR_BAD_START, "Request does not start with the boundary line"},
      {"empty body", "POST", "1", ct + "b", "", I, INTAKE_ERROR_TRUNCATED,
       "Request body ended after 0 of 1 bytes"},
      {"truncated", "POST", "100", ct + "bbb", "--b", I, INTAKE_ERROR_TRUNCATED,
       "Request body ended after 3 of 100 bytes"},
  };
  for (const Refusal &c : cases) {
    SCOPED_TRACE(c.what);
    req.form("b", c.body);
    Request::env("REQUEST_METHOD", c.method);
    if (c.length) Request::env("CONTENT_LENGTH", c.length);
    Request::env("CONTENT_TYPE",
                 c.content_type == "-" ? nullptr : c.content_type.c_str());
    EXPECT_FALSE(mpread_init(&err));
    if (c.message)
      EXPECT_GERROR(err, c.domain, c.code, c.message);
    else
      EXPECT_GERROR_PREFIX(err, c.domain, c.code, "");
    EXPECT_FALSE(mpread_init(nullptr));
    // Not initialised: every operation answers with code 1.
    MpreadPart p{};
    EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
    EXPECT_GERROR(err, M, MPREAD_ERROR_NOT_INITIALIZED,
                  "Mpread has not been initialized");
  }
}

TEST_F(Init, NotInitialisedEveryOperationSaysSo) {
  char buf[4];
  size_t len;
  MpreadPart p{};
  EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1);  // code 1 before 6
  EXPECT_GERROR(err, MPREAD_ERROR, 1, "Mpread has not been initialized");
  EXPECT_EQ(mpread_get_next_part(&p, nullptr), -1);
  EXPECT_EQ(mpread_get_part_buffer(buf, sizeof buf, &len, &err), -1);
  EXPECT_GERROR(err, MPREAD_ERROR, 1, "Mpread has not been initialized");
  EXPECT_FALSE(mpread_write_part_to_file(-1, &err));  // code 1 before 13
  EXPECT_GERROR(err, MPREAD_ERROR, 1, "Mpread has not been initialized");
  mpread_release_part(nullptr);
  mpread_release();
  mpread_release();
  EXPECT_EQ(MPREAD_ERROR, g_quark_from_string("mpread"));
}

// Boundaries init must take: the limit, an empty one, one ending in dashes,
// a quoted one, and any media type that carries a boundary.
TEST_F(Init, AcceptedBoundariesWalkTheirForm) {
  struct Case { std::string content_type, boundary; };
  const Case cases[] = {
      {"multipart/form-data; boundary=" + b70, b70},
      {"multipart/form-data; boundary=", ""},
      {"multipart/form-data; boundary=\"\"", ""},
      {"multipart/form-data; boundary=ab--", "ab--"},
      {"multipart/form-data; boundary=\"a b:c\"", "a b:c"},
      {"text/plain; BOUNDARY=zz", "zz"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.content_type);
    req.form(c.boundary, Form(c.boundary).field("f", "v").close("\r\n"));
    Request::env("CONTENT_TYPE", c.content_type.c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    Walk w = walk_form(64, &err);
    EXPECT_EQ(w.last, 0);
    EXPECT_EQ(err, nullptr);
    ASSERT_EQ(w.parts.size(), 1u);
    EXPECT_EQ(w.parts[0].content, "v");
    mpread_release();
  }
}

TEST_F(Init, InitTwiceKeepsTheFirstRequest) {
  req.form("b", Form("b").field("f", "first").close());
  ASSERT_TRUE(mpread_init(&err));
  // Nothing is examined again: the request is not re-read.
  Request::env("REQUEST_METHOD", "GET");
  EXPECT_TRUE(mpread_init(&err));
  EXPECT_EQ(err, nullptr);
  Walk w = walk_form(16, &err);
  ASSERT_EQ(w.parts.size(), 1u);
  EXPECT_EQ(w.parts[0].content, "first");
}

TEST_F(Init, InitAgainAfterReleaseOrFailure) {
  req.form("b", Form("b").field("f", "one").close());
  ASSERT_TRUE(mpread_init(&err));
  mpread_release();
  mpread_release();
  // A failure after the body buffer was set up, then a good request.
  req.form("b", "\r\n--b");
  EXPECT_FALSE(mpread_init(&err));
  EXPECT_GERROR(err, MPREAD_ERROR, MPREAD_ERROR_BAD_START,
                "Request does not start with the boundary line");
  req.form("c", Form("c").field("g", "two").close());
  ASSERT_TRUE(mpread_init(&err)) << err->message;
  Walk w = walk_form(16, &err);
  ASSERT_EQ(w.parts.size(), 1u);
  EXPECT_EQ(w.parts[0].name, "g");
  EXPECT_EQ(w.parts[0].content, "two");
}

}  // namespace
