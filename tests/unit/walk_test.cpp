// Walking the parts: a real form through every feed, the closing delimiter,
// file names, and skipping content the caller did not take.
#include <gtest/gtest.h>

#include <tuple>

#include "request.h"

using namespace testreq;

namespace {

class WalkTest : public ReaderTest {
 protected:
  // The names of the parts to the end of the form, which must end cleanly.
  std::vector<std::string> names_to_end() {
    std::vector<std::string> names;
    for (const Step &s : walk(untaken)) names.push_back(s.result == 1 ? s.name : s.error);
    EXPECT_EQ(names.back(), "");
    names.pop_back();
    return names;
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
      // Header names in any case, blanks before the colon allowed.
      .raw("content-disposition: form-data; name=\"file2\"; "
           "filename=\"C:\\fakepath\\a.html\"\r\nContent-Transfer-Encoding: binary\r\n"
           "CONTENT-TYPE: text/html\r\nX-Other: 1\r\n\r\n", "<b>a.html</b>")
      .raw("content-disposition \t: form-data; name=\"csv\"; filename=\"t.csv\"\r\n"
           "Content-Type : text/csv\r\n\r\n", "a,b")
      .field("utf8", "na\xc3\xafve \xe2\x82\xac")
      .file("bin", "b.bin", "application/octet-stream", bin)
      .field("near", near)
      .field("empty", "");
  ASSERT_TRUE(start(b, f.close("\r\n"), std::get<0>(GetParam())));
  const std::vector<Step> got = walk(std::get<1>(GetParam()));
  const struct {
    std::string name;
    std::optional<std::string> mime, filename;
    std::string content;
  } want[] = {
      {"text", none, none, "text default"},
      {"file1", "text/plain", "a.txt", "Content of a.txt.\r\n"},
      {"file2", "text/html", "a.html", "<b>a.html</b>"},
      {"csv", "text/csv", "t.csv", "a,b"},
      {"utf8", none, none, "na\xc3\xafve \xe2\x82\xac"},
      {"bin", "application/octet-stream", "b.bin", bin},
      {"near", none, none, near},
      {"empty", none, none, ""},
  };
  ASSERT_EQ(got.size(), std::size(want) + 1);
  for (size_t i = 0; i < std::size(want); i++) {
    SCOPED_TRACE(want[i].name);
    EXPECT_EQ(got[i].name, want[i].name);
    EXPECT_EQ(got[i].mime, want[i].mime);
    EXPECT_EQ(got[i].filename, want[i].filename);
    EXPECT_TRUE(got[i].content == want[i].content);
  }
  EXPECT_EQ(got.back().error, "");
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
    for (std::string tail : Strings{"", "\r\n", "\n", " \t \r\n" + ghost, "\r\n\r\n",
                             "\r\n" + ghost, "\r\nContent-Type: x\r\n\r\n"}) {
      SCOPED_TRACE(testing::PrintToString(b + " " + tail));
      ASSERT_TRUE(start(b, Form(b).field("f", "v").field("g", "w").close(tail)));
      EXPECT_EQ(names_to_end(), (Strings{"f", "g"}));
      MpreadPart p{};
      EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
      EXPECT_EQ(err, nullptr);
    }
  }
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
        ASSERT_TRUE(start("b", Form("b").file("up", "u", "a/b", content).field("next", "ok")
                                   .close(), feed));
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
