// Walking the parts: a real form through every feed, the closing delimiter,
// file names, and skipping content the caller did not take.
#include <gtest/gtest.h>

#include <tuple>

#include "mpread.h"
#include "reader_test.h"

using namespace testreq;

namespace {

class WalkTest : public ReaderTest {
 protected:
  void start(const std::string &boundary, std::string body,
             Feed feed = Feed::file) {
    ASSERT_TRUE(ReaderTest::start(boundary, std::move(body), feed))
        << err->message;
  }
  // The names of the parts to the end of the form, which must end cleanly.
  std::vector<std::string> names_to_end() {
    Walk w = walk_form(0, &err);
    EXPECT_EQ(w.last, 0);
    EXPECT_EQ(err, nullptr);
    std::vector<std::string> out;
    for (const Seen &s : w.parts) out.push_back(s.name);
    return out;
  }
};

using Strings = std::vector<std::string>;
const std::optional<std::string> none;

class RealForm : public WalkTest,
                 public testing::WithParamInterface<std::tuple<Feed, size_t>> {};

TEST_P(RealForm, EveryPartAsSent) {
  const std::string b = "---------------------------9051914041544843365972754266";
  const std::string bin = random_bytes(10000, 7);
  const std::string near = "\r\n-" + b.substr(0, 20) + "\r\n--" + b.substr(0, 50) + "\r";
  Form f(b);
  f.field("text", "text default")
      .raw("Content-Disposition: form-data; name=\"file1\"; filename=\"a.txt\"\r\n"
           "Content-Type: text/plain\r\n\r\n", "Content of a.txt.\r\n")
      .raw("content-disposition: form-data; name=\"file2\"; "
           "filename=\"C:\\fakepath\\a.html\"\r\nContent-Transfer-Encoding: binary\r\n"
           "CONTENT-TYPE: text/html\r\nX-Other: 1\r\n\r\n", "<b>a.html</b>")
      // Only the whole header name counts, in any case, blanks before the
      // colon allowed.
      .raw("Content-Dispositionx: form-data; name=\"x\"; filename=\"evil.php\"\r\n"
           "Content-Disposition: form-data; name=\"types\"\r\n"
           "Content-Type-Options: nosniff\r\nContent-Types: text/x\r\n\r\n", "")
      .raw("content-disposition \t: form-data; name=\"csv\"; filename=\"t.csv\"\r\n"
           "Content-Type : text/csv\r\n\r\n", "a,b")
      // File names as older browsers and standard-minded clients send them.
      .raw("Content-Disposition: form-data; name=\"upload\"; filename=\" ? % * | \" < > . "
           "&#9731; ; ' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt\"\r\n\r\n", "ie")
      .raw("Content-Disposition: form-data; name=\"doc\"; "
           "filename*=ISO-8859-1'en'C%3A%5Cdir%2F%A3%20rates.txt\r\n\r\n", "pound")
      .field("utf8", "na\xc3\xafve \xe2\x82\xac")
      .file("bin", "b.bin", "application/octet-stream", bin)
      .field("near", near)
      .field("empty", "");
  start(b, f.close("\r\n"), std::get<0>(GetParam()));
  Walk w = walk_form(std::get<1>(GetParam()), &err);
  EXPECT_EQ(w.last, 0);
  EXPECT_EQ(err, nullptr);
  const Seen want[] = {
      {"text", none, none, "text default"},
      {"file1", "text/plain", "a.txt", "Content of a.txt.\r\n"},
      {"file2", "text/html", "a.html", "<b>a.html</b>"},
      {"types", none, none, ""},
      {"csv", "text/csv", "t.csv", "a,b"},
      {"upload", none, " ? % * | \" < > . &#9731; ; ' @ # $ ^ & ( ) - _ = + { } [ ] ` ~.txt", "ie"},
      {"doc", none, "\xc2\xa3 rates.txt", "pound"},
      {"utf8", none, none, "na\xc3\xafve \xe2\x82\xac"},
      {"bin", "application/octet-stream", "b.bin", bin},
      {"near", none, none, near},
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
}

INSTANTIATE_TEST_SUITE_P(, RealForm,
                         testing::Combine(testing::ValuesIn(all_feeds),
                                          testing::Values(1, 4096)),
                         [](const auto &info) {
                           return std::string(feed_name(std::get<0>(info.param))) +
                                  std::to_string(std::get<1>(info.param));
                         });

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
      EXPECT_EQ(names_to_end(), (Strings{"f", "g"}));
      MpreadPart p{};
      EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
      EXPECT_EQ(err, nullptr);
    }
  }
}

// Whatever the client sends, the file name has no directory part left, and
// no "." or ".." that a caller could join to its upload folder.
TEST_F(WalkTest, FileNamesLoseEveryDirectoryPart) {
  const std::pair<const char *, const char *> cases[] = {
      {"C:\\Users\\x\\a.txt", "a.txt"}, {"dir/sub/b.png", "b.png"},
      {"a/b\\c/d", "d"}, {"a\\b/c\\d", "d"}, {"dir/", ""}, {"..", ""},
      {".", ""}, {"x/..", ""}, {"a\\.", ""}, {"...", "..."},
      {".hidden", ".hidden"}, {"na\xc3\xafve.txt", "na\xc3\xafve.txt"},
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
      "", std::string(4095, 'c'), std::string(4096, 'c'), random_bytes(10000, 1),
      "a--b" + std::string(5000, '\r'), "\r\n--\r\n-",
      "x--b\r\nContent-Disposition: form-data; name=\"evil\"\r\n\r\n",
      std::string(8190, '\n') + "\r\n-",
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (size_t taken : {0, 1, 10})
      for (const std::string &content : contents) {
        SCOPED_TRACE(testing::Message() << feed_name(feed) << " " << taken
                                        << " of " << content.size());
        start("b", Form("b").file("up", "u", "a/b", content).field("next", "ok")
                       .close(), feed);
        MpreadPart p{};
        ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
        mpread_release_part(&p);
        char buf[16];
        size_t len;
        if (taken > 0) {
          ASSERT_EQ(mpread_get_part_buffer(buf, taken, &len, &err), 1);
        }
        EXPECT_EQ(names_to_end(), Strings{"next"});
      }
}

}  // namespace
