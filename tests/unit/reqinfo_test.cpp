// Header access: the CGI variables and the header-line parser.
#include "reqinfo.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "request.h"

using namespace testreq;

namespace {

// Only plain decimal digits, up to SIZE_MAX whatever the width of size_t.
TEST(Reqinfo, ContentLength) {
  const std::string max = std::to_string(SIZE_MAX), tenfold = max + "0";
  std::string over = max;
  over.back()++;  // SIZE_MAX ends in 5 on 32 and 64 bits: this is SIZE_MAX + 1
  const std::pair<const char *, size_t> cases[] = {
      // value 0: refused
      {"", 0},
      {"0", 0},
      {"+5", 0},
      {"5 ", 0},
      {"0x10", 0},
      {"12abc", 0},
      {over.c_str(), 0},
      {tenfold.c_str(), 0},
      {"7", 7},
      {"00012", 12},
      {max.c_str(), SIZE_MAX},
  };
  for (auto [text, value] : cases) {
    SCOPED_TRACE(text);
    Request::env("CONTENT_LENGTH", text);
    GError *err = nullptr;
    EXPECT_EQ(reqinfo_get_content_length(&err), value);
    if (value == 0) EXPECT_ERROR(err, "reqinfo 2: ");
    EXPECT_EQ(err, nullptr);
  }
  Request::env("CONTENT_LENGTH", nullptr);
  EXPECT_EQ(reqinfo_get_content_length(nullptr), 0u);
}

// A header line, its value and parameters (a null value: absent), or no
// value at all: refused.
struct ParseCase {
  const char *line;
  const char *value = nullptr;
  std::vector<std::pair<const char *, const char *>> params = {};
};

TEST(ReqinfoParse, HeaderLines) {
  std::string most = "X: v";  // 64 parameters, the most a header takes
  for (int i = 0; i < 64; i++)
    most += "; p" + std::to_string(i) + "=" + std::to_string(i);
  const std::string too_many = most + "; p64=";
  const ParseCase cases[] = {
      {most.c_str(), "v", {{"p0", "0"}, {"P63", "63"}, {"p64", nullptr}}},
      {"Content-Disposition: form-data; name=\"a\"; "
       "filename=\"C:\\Users\\x\\a.txt\"\r\n",
       "form-data",
       {{"name", "a"}, {"filename", "C:\\Users\\x\\a.txt"}}},
      // Only \" and \\ are escapes; any other backslash stays.
      {"X: v; name=\"q\\\"u\\\\o\\te\\\"\"", "v", {{"name", "q\"u\\o\\te\""}}},
      {"X:v;name=tok ;  filename = \"sp ace\" \n",
       "v",
       {{"name", "tok"}, {"filename", "sp ace"}}},
      {"X: v; filename=\"\"; name=", "v", {{"filename", ""}, {"name", ""}}},
      {"X: v; name=\"semi;colon=1\"",
       "v",
       {{"name", "semi;colon=1"}, {"colon", nullptr}}},
      {"X: form-data; NAME=\"Up\"; FileName=\"na\xc3\xafve \xe2\x82\xac.txt\"",
       "form-data",
       {{"name", "Up"},
        {"filename", "na\xc3\xafve \xe2\x82\xac.txt"},
        {"size", nullptr}}},
      {"Content-Type:\ttext/plain\t;\tcharset=utf-8\r\n",
       "text/plain",
       {{"charset", "utf-8"}}},
      {"Content-Type: \r\n", "", {}},
      {"X: v;; name=a;", "v", {{"name", "a"}}},
      // A quote closes a quoted value only before blanks and ';' or the end,
      // as older browsers send file names.
      {"Content-Disposition: form-data; name=\"upload\"; filename=\" ? % * | "
       "\" < > . "
       "&#9731; ; ' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt\"\r\n",
       "form-data",
       {{"name", "upload"},
        {"filename",
         " ? % * | \" < > . &#9731; ; ' @ # $ ^ & ( ) - _ = + { } [ ] ` "
         "~.txt"}}},
      {"X: v; filename=\"say \"hi\" .txt\" ; x=y",
       "v",
       {{"filename", "say \"hi\" .txt"}, {"x", "y"}}},
      {"X: v; a=\"q\"\"\t; b=\"\\\"; c\"", "v", {{"a", "q\""}, {"b", "\"; c"}}},
      // Names match whole, in any case of their letters only.
      {"X: v; names=1; na@e=2; Name=3",
       "v",
       {{"name", "3"},
        {"nam", nullptr},
        {"NAMES", "1"},
        {"na`e", nullptr},
        {"NA@E", "2"}}},
      // NAME* answers for NAME, decoded, and wins over it in either order.
      {"X: v; filename=\"EURO rates.txt\"; "
       "filename*=utf-8''%e2%82%ac%20rates.txt",
       "v",
       {{"filename", "\xe2\x82\xac rates.txt"}, {"filename*", nullptr}}},
      {"X: v; FileName*=ISO-8859-1'en'%A3%20r\xe9s; filename=\"x\"",
       "v",
       {{"filename", "\xc2\xa3 r\xc3\xa9s"}}},
      {"X: v; a*=\"UTF-8''%41 \xc3\xa9\"; b*=utf-8'x'",
       "v",
       {{"a", "A \xc3\xa9"}, {"b", ""}}},
      // Unusable: the plain value answers, or "" without one.
      {"X: v; a*=KOI8-R''%C1; a=plain; b*=UTF-8'%41; c*=UTF-8''%4; "
       "d*=UTF-8''%4G; "
       "e*=UTF-8''a%00b; f*=UTF-8''%0D%0AX: y; g*=''x",
       "v",
       {{"a", "plain"},
        {"b", ""},
        {"c", ""},
        {"d", ""},
        {"e", ""},
        {"f", ""},
        {"g", ""}}},
      // A parameter twice in any case (NAME* too), an unterminated quote, a
      // missing '=', name or colon, control characters, a 65th parameter.
      {too_many.c_str()},
      {"X: v; name=\"a\"; name=\"b\""},
      {"X: v; name=a; NAME=b"},
      {"X: v; a*=UTF-8''x; A*=UTF-8''y; a=z"},
      {"X: v; a=x; a*=UTF-8''y; a=z"},
      {"X: v; *=UTF-8''y"},
      {"X: v; name=\"unterminated\r\n"},
      {"X: v; name=\"a\"b"},
      {"X: v; name=\"a\" b"},
      {"X: v; name"},
      {"X: v; name a"},
      {"X: v; =a"},
      {"X: v; \"a\"=b"},
      {"no colon here\r\n"},
      {": no name"},
      {"X: v; name=\"a\x01\""},
      {"X: v; name=\"a\x7f\""},
      {"X: v\r; name=a\r\n"},
      {"X: v\n; name=a\r\n"},
  };
  // One record for every line: filled again, or refused after a fill, it
  // frees what it held. Null records and records never filled are harmless.
  reqinfo_release_header(nullptr);
  EXPECT_EQ(reqinfo_get_header_param_value(nullptr, "name"), nullptr);
  ReqinfoHeader h{};
  reqinfo_release_header(&h);
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.line));
    GError *err = nullptr;
    EXPECT_EQ(reqinfo_parse_header(c.line, &h, &err), c.value != nullptr);
    EXPECT_ERROR(err, c.value != nullptr ? "" : "reqinfo 3: ");
    EXPECT_STREQ(h.value, c.value);
    for (auto [name, want] : c.params)
      EXPECT_STREQ(reqinfo_get_header_param_value(&h, name), want) << name;
    // Each name once: a NAME* that won leaves no plain NAME behind.
    std::set<std::string> names;
    const char *p = h.params;
    for (size_t i = 0; i < h.n_params;
         i++, p += strlen(p) + 1, p += strlen(p) + 1) {
      std::string name(p);
      for (char &ch : name) ch = g_ascii_tolower(ch);
      EXPECT_TRUE(names.insert(name).second) << p;
    }
  }
  reqinfo_release_header(&h);
  reqinfo_release_header(&h);
  EXPECT_EQ(reqinfo_get_header_param_value(&h, "name"), nullptr);
}

}  // namespace
