// Header access: the CGI variables and the header-line parser.
#include <gtest/gtest.h>
#include <stddef.h>

#include <utility>
#include <vector>

#include "reqinfo.h"
#include "request.h"

using namespace testreq;

namespace {

static_assert(offsetof(ReqinfoHeader, value) == 0);
static_assert(sizeof(ReqinfoHeader) == 4 * sizeof(void *));

struct LengthCase {
  const char *text;  // null: unset
  size_t value;
  int code;  // 0: no error
};

TEST(ReqinfoLength, OnlyPlainDecimalDigitsInRange) {
  const std::string max = std::to_string(SIZE_MAX);
  std::string over = max;
  over.back()++;  // SIZE_MAX ends in 5, so this is SIZE_MAX + 1
  const LengthCase cases[] = {
      {nullptr, 0, REQINFO_ERROR_MISSING},
      {"", 0, REQINFO_ERROR_INVALID},
      {"0", 0, REQINFO_ERROR_INVALID},
      {"-5", 0, REQINFO_ERROR_INVALID},
      {"+5", 0, REQINFO_ERROR_INVALID},
      {" 5", 0, REQINFO_ERROR_INVALID},
      {"5 ", 0, REQINFO_ERROR_INVALID},
      {"12a", 0, REQINFO_ERROR_INVALID},
      {"0x10", 0, REQINFO_ERROR_INVALID},
      {"1e3", 0, REQINFO_ERROR_INVALID},
      {"7", 7, 0},
      {"00012", 12, 0},
      {"4294967295", 4294967295u, 0},
      {max.c_str(), SIZE_MAX, 0},
      {over.c_str(), 0, REQINFO_ERROR_INVALID},
      {"1234567890123456789012345", 0, REQINFO_ERROR_INVALID},
      // 5 GB: too large where size_t has 32 bits, fine where it has 64.
      {"5000000000", SIZE_MAX > 0xffffffffu ? static_cast<size_t>(5000000000ull) : 0,
       SIZE_MAX > 0xffffffffu ? 0 : REQINFO_ERROR_INVALID},
  };
  for (const LengthCase &c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(unset)");
    Request::env("CONTENT_LENGTH", c.text);
    GError *err = nullptr;
    EXPECT_EQ(reqinfo_get_content_length(&err), c.value);
    if (c.code == 0) {
      EXPECT_EQ(err, nullptr);
    } else {
      EXPECT_GERROR_PREFIX(err, REQINFO_ERROR, c.code, "");
      EXPECT_EQ(reqinfo_get_content_length(nullptr), 0u);
    }
  }
}

TEST(ReqinfoEnv, MethodAndContentType) {
  GError *err = nullptr;
  Request::env("REQUEST_METHOD", nullptr);
  EXPECT_EQ(reqinfo_get_request_method(&err), nullptr);
  EXPECT_GERROR_PREFIX(err, REQINFO_ERROR, REQINFO_ERROR_MISSING, "");
  Request::env("REQUEST_METHOD", "post");
  char *method = reqinfo_get_request_method(&err);
  EXPECT_STREQ(method, "post");  // as given: judging it is the caller's job
  g_free(method);

  ReqinfoHeader h{};
  Request::env("CONTENT_TYPE", nullptr);
  EXPECT_FALSE(reqinfo_get_content_type(&h, &err));
  EXPECT_GERROR_PREFIX(err, REQINFO_ERROR, REQINFO_ERROR_MISSING, "");
  Request::env("CONTENT_TYPE", "Multipart/Form-Data ; BOUNDARY=\"a b;c\"");
  ASSERT_TRUE(reqinfo_get_content_type(&h, &err));
  EXPECT_STREQ(h.value, "Multipart/Form-Data");
  EXPECT_STREQ(reqinfo_get_header_param_value(&h, "boundary"), "a b;c");
  EXPECT_TRUE(reqinfo_get_content_type(&h, &err));  // refill: no leak
  Request::env("CONTENT_TYPE", "multipart/form-data; boundary=x\x01");
  EXPECT_FALSE(reqinfo_get_content_type(&h, &err));
  EXPECT_GERROR_PREFIX(err, REQINFO_ERROR, REQINFO_ERROR_PARSE, "");
  reqinfo_release_header(&h);
}

struct ParseCase {
  const char *line;
  const char *value;  // null: the parse fails
  std::vector<std::pair<const char *, const char *>> params;  // null: absent
};

TEST(ReqinfoParse, HeaderLines) {
  const ParseCase cases[] = {
      {"Content-Disposition: form-data; name=\"a\"; "
       "filename=\"C:\\Users\\x\\a.txt\"\r\n",
       "form-data", {{"name", "a"}, {"filename", "C:\\Users\\x\\a.txt"}}},
      // Only \" and \\ are escapes; any other backslash stays.
      {"X: v; name=\"q\\\"u\\\\o\\te\\\"\"", "v", {{"name", "q\"u\\o\\te\""}}},
      {"X: v; name=\"\\\\server\\share\\f\"", "v", {{"name", "\\server\\share\\f"}}},
      {"X:v;name=tok ;  filename = \"sp ace\" \n", "v",
       {{"name", "tok"}, {"filename", "sp ace"}}},
      {"X: v; filename=\"\"; name=", "v", {{"filename", ""}, {"name", ""}}},
      {"X: v; name=\"semi;colon=1\"", "v", {{"name", "semi;colon=1"}, {"colon", nullptr}}},
      {"X: form-data; NAME=\"Up\"; FileName=\"na\xc3\xafve \xe2\x82\xac.txt\"", "form-data",
       {{"name", "Up"}, {"filename", "na\xc3\xafve \xe2\x82\xac.txt"}, {"size", nullptr}}},
      {"Content-Type:\ttext/plain\t;\tcharset=utf-8\r\n", "text/plain", {{"charset", "utf-8"}}},
      {"Content-Type: \r\n", "", {}},
      {"Content-Type: ; charset=x", "", {{"charset", "x"}}},
      {"X: v;; name=a;", "v", {{"name", "a"}}},
      // Failures.
      {"X: v; name=\"a\"; name=\"b\"", nullptr, {}},
      {"X: v; name=a; NAME=b", nullptr, {}},
      {"X: v; name=\"unterminated\r\n", nullptr, {}},
      {"X: v; name=\"a\"b", nullptr, {}},
      {"X: v; name", nullptr, {}},
      {"X: v; =a", nullptr, {}},
      {"no colon here\r\n", nullptr, {}},
      {": no name", nullptr, {}},
      {"X: v; name=\"a\x01\"", nullptr, {}},
      {"X: v; name=\"a\x7f\"", nullptr, {}},
      {"X: v\r; name=a\r\n", nullptr, {}},
      {"X: v\n; name=a\r\n", nullptr, {}},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    ReqinfoHeader h{};
    GError *err = nullptr;
    gboolean ok = reqinfo_parse_header(c.line, &h, &err);
    if (c.value == nullptr) {
      EXPECT_FALSE(ok);
      EXPECT_GERROR_PREFIX(err, REQINFO_ERROR, REQINFO_ERROR_PARSE, "");
      EXPECT_EQ(h.value, nullptr);
    } else {
      ASSERT_TRUE(ok) << err->message;
      EXPECT_STREQ(h.value, c.value);
      for (auto [name, want] : c.params)
        EXPECT_STREQ(reqinfo_get_header_param_value(&h, name), want) << name;
    }
    reqinfo_release_header(&h);
    reqinfo_release_header(&h);
  }
}

TEST(ReqinfoParse, ReleaseAcceptsAnyRecord) {
  reqinfo_release_header(nullptr);
  ReqinfoHeader never{};
  reqinfo_release_header(&never);
  ReqinfoHeader h{};
  ASSERT_TRUE(reqinfo_parse_header("A: b; c=d", &h, nullptr));
  EXPECT_FALSE(reqinfo_parse_header("A: b; c=d; c=e", &h, nullptr));
  EXPECT_EQ(h.value, nullptr);  // the earlier fill was freed, not leaked
  reqinfo_release_header(&h);
  EXPECT_EQ(reqinfo_get_header_param_value(nullptr, "c"), nullptr);
  EXPECT_EQ(reqinfo_get_header_param_value(&h, "c"), nullptr);
}

}  // namespace
