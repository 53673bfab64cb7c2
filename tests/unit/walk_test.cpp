// Walking the parts: header blocks, their errors, the closing delimiter,
// file names, and skipping content the caller did not take.
#include <gtest/gtest.h>

#include <tuple>

#include "intake.h"
#include "mpread.h"
#include "reqinfo.h"
#include "request.h"

using namespace testreq;

namespace {

class WalkTest : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  void start(const std::string &boundary, std::string body,
             Feed feed = Feed::file) {
    mpread_release();
    req.form(boundary, std::move(body), feed);
    ASSERT_TRUE(mpread_init(&err)) << err->message;
  }
  std::vector<std::string> names(const Walk &w) {
    std::vector<std::string> out;
    for (const Seen &s : w.parts) out.push_back(s.name);
    return out;
  }
  Request req;
  GError *err = nullptr;
};

using Strings = std::vector<std::string>;
const std::optional<std::string> none;

class RealForm : public WalkTest,
                 public testing::WithParamInterface<std::tuple<Feed, size_t>> {};

TEST_P(RealForm, EveryPartAsSent) {
  const std::string b = "---------------------------9051914041544843365972754266";
  const std::string bin = random_bytes(10000, 7);
  Form f(b);
  f.field("text", "text default")
      .raw("Content-Disposition: form-data; name=\"file1\"; filename=\"a.txt\"\r\n"
           "Content-Type: text/plain\r\n\r\n", "Content of a.txt.\r\n")
      .raw("content-disposition: form-data; name=\"file2\"; "
           "filename=\"C:\\fakepath\\a.html\"\r\nContent-Transfer-Encoding: binary\r\n"
           "CONTENT-TYPE: text/html\r\nX-Other: 1\r\n\r\n", "<b>a.html</b>")
      .raw("Content-Disposition: form-data; name=\"types\"\r\n"
           "Content-Types: text/x\r\n\r\n", "")  // a prefix match counts
      .field("utf8", "na\xc3\xafve \xe2\x82\xac")
      .file("bin", "b.bin", "application/octet-stream", bin)
      .field("empty", "");
  start(b, f.close("\r\n"), std::get<0>(GetParam()));
  Walk w = walk_form(std::get<1>(GetParam()), &err);
  EXPECT_EQ(w.last, 0);
  EXPECT_EQ(err, nullptr);
  const Seen want[] = {
      {"text", none, none, "text default"},
      {"file1", "text/plain", "a.txt", "Content of a.txt.\r\n"},
      {"file2", "text/html", "a.html", "<b>a.html</b>"},
      {"types", "text/x", none, ""},
      {"utf8", none, none, "na\xc3\xafve \xe2\x82\xac"},
      {"bin", "application/octet-stream", "b.bin", bin},
      {"empty", none, none, ""},
  };
  ASSERT_EQ(w.parts.size(), std::size(want));
  for (size_t i = 0; i < std::size(want); i++) {
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(w.parts[i].name, want[i].name);
    EXPECT_EQ(w.parts[i].mime, want[i].mime);
    EXPECT_EQ(w.parts[i].filename, want[i].filename);
    EXPECT_TRUE(w.parts[i].content == want[i].content);
  }
  MpreadPart p{};
  EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
}

INSTANTIATE_TEST_SUITE_P(, RealForm,
                         testing::Combine(testing::ValuesIn(all_feeds),
                                          testing::Values(1, 4096)),
                         [](const auto &info) {
                           return std::string(feed_name(std::get<0>(info.param))) +
                                  std::to_string(std::get<1>(info.param));
                         });

// Content after a refused header block that looks like a further part: it
// must be skipped, not read as headers.
const std::string evil =
    "x--b\r\nContent-Disposition: form-data; name=\"evil\"\r\n\r\n" +
    std::string(5000, 'e');

struct BadBlock {
  const char *what;
  std::string headers;  // up to and including the empty line
  GQuark domain;
  int code;
  std::string message;  // or, with parse_line set, the parse prefix
  const char *parse_line = nullptr;
};

TEST_F(WalkTest, RefusedHeaderBlocks) {
  const GQuark M = MPREAD_ERROR;
  const std::string cd = "Content-Disposition: form-data; name=\"a\"\r\n";
  const std::string bad_cd = "Content-Disposition: form-data; name=\"a\r\n";
  const std::string bad_ct = "Content-Type: text/plain; charset=\"x\r\n";
  const BadBlock cases[] = {
      {"no disposition", "Content-Type: text/plain\r\n\r\n", M, 8,
       "Form data part does not contain a Content-Disposition"},
      {"two dispositions", cd + cd + "\r\n", M, 7,
       "Form data part contain duplicate Content-Disposition headers"},
      {"two types", cd + "Content-Type: a/b\r\ncontent-type: c/d\r\n\r\n", M, 7,
       "Form data part contain duplicate Content-Type headers"},
      {"no name", "Content-Disposition: form-data\r\n\r\n", M, 9,
       "Form data part name is not set"},
      {"empty name first", "Content-Disposition: form-data; name=\"\"; filename=\"\"\r\n"
       "Content-Type: \r\n\r\n", M, 9, "Form data part name is not set"},
      {"empty filename", "Content-Disposition: form-data; name=\"a\"; filename=\"\"\r\n"
       "Content-Type: \r\n\r\n", M, 10, "Form data part contains a invalid filename"},
      {"empty mime", cd + "Content-Type: ; charset=x\r\n\r\n", M, 11,
       "Form data part contains a invalid mime"},
      {"bad disposition", bad_cd + "\r\n", REQINFO_ERROR, REQINFO_ERROR_PARSE,
       "Failed to parse Content-Disposition:", bad_cd.c_str()},
      {"bad type", cd + bad_ct + "\r\n", REQINFO_ERROR, REQINFO_ERROR_PARSE,
       "Failed to parse Content-Type:", bad_ct.c_str()},
      // Buffer errors inside the block come through without a prefix.
      {"long line", cd + "X-Long: " + std::string(5000, 'l') + "\r\n\r\n",
       INTAKE_ERROR, INTAKE_ERROR_LINE_TOO_LONG,
       "Line of 5010 bytes exceeds the limit of 4095 bytes"},
      // A bare LF does not end the block: the content is read as headers.
      {"bare LF block end", cd + "\nContent-Type: a/b\r\nContent-Type: c/d\r\n", M, 7,
       "Form data part contain duplicate Content-Type headers"},
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (const BadBlock &c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << " " << feed_name(feed));
      Form f("b");
      f.field("before", "1").raw(c.headers, evil).field("after", "ok");
      start("b", f.close(), feed);
      Walk w = walk_form(0, &err);
      EXPECT_EQ(names(w), Strings{"before"});
      EXPECT_EQ(w.last, -1);
      std::string message = c.message;
      if (c.parse_line != nullptr) {
        ReqinfoHeader h{};
        GError *own = nullptr;
        EXPECT_FALSE(reqinfo_parse_header(c.parse_line, &h, &own));
        message += own->message;
        g_error_free(own);
      }
      EXPECT_GERROR(err, c.domain, c.code, message.c_str());
      w = walk_form(64, &err);
      EXPECT_EQ(names(w), Strings{"after"});
      ASSERT_EQ(w.parts.size(), 1u);
      EXPECT_EQ(w.parts[0].content, "ok");
      EXPECT_EQ(w.last, 0);
      EXPECT_EQ(err, nullptr);
    }
}

TEST_F(WalkTest, DelimiterLineTooLongIsPrefixedAndPassed) {
  std::string body = "--b" + std::string(5000, ' ') +
                     "\r\nContent-Disposition: form-data; name=\"lost\"\r\n\r\n" +
                     evil + "\r\n" + Form("b").field("after", "ok").close();
  start("b", body);
  MpreadPart p{};
  EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_LINE_TOO_LONG,
                "Error while reading boundary:"
                "Line of 5005 bytes exceeds the limit of 4095 bytes");
  Walk w = walk_form(64, &err);
  EXPECT_EQ(names(w), Strings{"after"});
  EXPECT_EQ(w.last, 0);
}

TEST_F(WalkTest, TruncatedBodyWhileSkippingIsPrefixed) {
  std::string body = Form("b").field("a", std::string(6000, 'x')).close();
  req.form("b", body.substr(0, 5000), Feed::pipe_whole);
  Request::env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
  ASSERT_TRUE(mpread_init(&err));
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  mpread_release_part(&p);
  std::string want = "Error while searching for boundary:Request body ended "
                     "after 5000 of " + std::to_string(body.size()) + " bytes";
  EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, want.c_str());
}

TEST_F(WalkTest, NullPartLeavesTheCurrentPart) {
  start("b", Form("b").field("a", "content").close());
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1);
  EXPECT_GERROR(err, MPREAD_ERROR, MPREAD_ERROR_NULL_PART,
                "Null form data part struct is not allowed");
  EXPECT_STREQ(p.name, "a");
  std::string got;
  EXPECT_EQ(take_content(3, got, &err), 1);
  EXPECT_EQ(got, "content");
  mpread_release_part(&p);
  EXPECT_EQ(p.name, nullptr);
}

// The form closes at a delimiter line whose text after the delimiter ends in
// "--" once its line ending and trailing blanks are gone; what follows it is
// never read. Boundaries that are empty or end in dashes count only what
// follows the delimiter.
TEST_F(WalkTest, ClosingDelimiterAndEpilogue) {
  for (std::string b : Strings{"b", "ab--", ""}) {
    const std::string ghost = "--" + b + "\r\nContent-Disposition: form-data; "
                              "name=\"ghost\"\r\n\r\nboo\r\n--" + b + "--\r\n";
    for (std::string tail : Strings{"", "\r\n", "\n", " \t \r\n", "\r\n\r\n",
                             "\r\n" + ghost, "\r\nContent-Type: x\r\n\r\n"}) {
      SCOPED_TRACE(testing::PrintToString(b + " " + tail));
      start(b, Form(b).field("f", "v").field("g", "w").close(tail));
      Walk w = walk_form(0, &err);
      EXPECT_EQ(names(w), (Strings{"f", "g"}));
      EXPECT_EQ(w.last, 0);
      EXPECT_EQ(err, nullptr);
      MpreadPart p{};
      EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
      EXPECT_EQ(err, nullptr);
    }
  }
}

// Bodies that end without a closing delimiter: no error, just the end.
TEST_F(WalkTest, BodyEndsWithoutClosingDelimiter) {
  const std::string part =
      "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n";
  for (std::string body : Strings{"--b\r\n", "--b", part, part + "abc"}) {
    SCOPED_TRACE(testing::PrintToString(body));
    start("b", body);
    Walk w = walk_form(2, &err);
    EXPECT_EQ(w.last, 0);
    EXPECT_EQ(err, nullptr);
    if (body.size() >= part.size()) {
      ASSERT_EQ(w.parts.size(), 1u);
      EXPECT_EQ(w.parts[0].content, body.substr(part.size()));
    }
    MpreadPart p{};
    EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
  }
}

// Whatever the client sends, the file name has no directory part left, and
// no "." or ".." that a caller could join to its upload folder.
TEST_F(WalkTest, FileNamesLoseEveryDirectoryPart) {
  const std::pair<const char *, const char *> cases[] = {
      {"C:\\Users\\x\\a.txt", "a.txt"}, {"dir/sub/b.png", "b.png"},
      {"a/b\\c/d", "d"}, {"a\\b/c\\d", "d"},
      {"x\\../../etc/passwd", "passwd"}, {"..\\..\\win.ini", "win.ini"},
      {"dir/", ""}, {"..", ""}, {".", ""}, {"x/..", ""}, {"a\\.", ""},
      {"...", "..."}, {".hidden", ".hidden"}, {"plain.txt", "plain.txt"},
      {"na\xc3\xafve.txt", "na\xc3\xafve.txt"},
  };
  Form f("b");
  for (auto [sent, _] : cases) f.file("f", sent, "a/b", "x");
  start("b", f.close());
  Walk w = walk_form(0, &err);
  EXPECT_EQ(w.last, 0);
  ASSERT_EQ(w.parts.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); i++)
    EXPECT_EQ(w.parts[i].filename, cases[i].second) << cases[i].first;
}

// Content left untaken, whole or after a first chunk, is skipped to its end
// marker however long it is and whatever it holds, so the next part is the
// one the client sent.
TEST_F(WalkTest, UntakenContentIsSkippedWhole) {
  const std::string contents[] = {
      "", "x", std::string(4094, 'c'), std::string(4095, 'c'),
      std::string(4096, 'c'), random_bytes(10000, 1),
      "a--b" + std::string(5000, '\r'), "\r\n--", "\r\n--\r\n-",
      evil, std::string(8190, '\n') + "\r\n-",
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (size_t taken : {0, 1, 10})
      for (const std::string &content : contents) {
        SCOPED_TRACE(testing::Message() << feed_name(feed) << " " << taken
                                        << " of " << content.size());
        Form f("b");
        f.file("up", "u.bin", "a/b", content).field("next", "ok");
        start("b", f.close(), feed);
        MpreadPart p{};
        ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
        mpread_release_part(&p);
        if (taken > 0) {
          char buf[16];
          size_t len;
          ASSERT_EQ(mpread_get_part_buffer(buf, taken, &len, &err), 1);
        }
        Walk w = walk_form(64, &err);
        EXPECT_EQ(names(w), Strings{"next"});
        EXPECT_EQ(w.last, 0);
        EXPECT_EQ(err, nullptr);
      }
}

}  // namespace
