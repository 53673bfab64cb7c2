// Walking the parts of a form, through every feed, with the content taken a
// byte at a time, in chunks of a buffer's size, written out, or left
// untaken: every part as the client sent it, then a clean end.
#include <gtest/gtest.h>

#include "request.h"

using namespace testreq;

namespace {

class Walk : public ReaderTest {};

struct Part {
  std::string name;
  std::optional<std::string> mime, filename;
  std::string content;
};
struct Row {
  std::string what, boundary, body;
  std::vector<Part> parts;
};

std::vector<Row> forms() {
  const std::optional<std::string> none;
  const std::string b =
      "---------------------------9051914041544843365972754266";
  const std::string bin = random_bytes(10000, 7);
  const std::string near =
      "\r\n-" + b.substr(0, 20) + "\r\n--" + b.substr(0, 50) + "\r";
  Form f(b);
  f.field("text", "text default")
      .raw(
          "Content-Disposition: form-data; name=\"file1\"; "
          "filename=\"a.txt\"\r\n"
          "Content-Type: text/plain\r\n\r\n",
          "Content of a.txt.\r\n")
      // Header names in any case, blanks before the colon allowed.
      .raw(
          "content-disposition: form-data; name=\"file2\"; "
          "filename=\"C:\\fakepath\\a.html\"\r\nContent-Transfer-Encoding: "
          "binary\r\n"
          "CONTENT-TYPE: text/html\r\nX-Other: 1\r\n\r\n",
          "<b>a.html</b>")
      .raw(
          "content-disposition \t: form-data; name=\"csv\"; "
          "filename=\"t.csv\"\r\n"
          "Content-Type : text/csv\r\n\r\n",
          "a,b")
      .field("utf8", "na\xc3\xafve \xe2\x82\xac")
      .file("bin", "b.bin", "application/octet-stream", bin)
      .field("near", near)
      .field("empty", "");
  std::vector<Row> rows = {
      {"a browser's form",
       b,
       f.close("\r\n"),
       {{"text", none, none, "text default"},
        {"file1", "text/plain", "a.txt", "Content of a.txt.\r\n"},
        {"file2", "text/html", "a.html", "<b>a.html</b>"},
        {"csv", "text/csv", "t.csv", "a,b"},
        {"utf8", none, none, "na\xc3\xafve \xe2\x82\xac"},
        {"bin", "application/octet-stream", "b.bin", bin},
        {"near", none, none, near},
        {"empty", none, none, ""}}}};
  // The form closes at a delimiter line whose text after the delimiter ends
  // in "--" once its line ending and trailing blanks are gone; what follows
  // it is never read. Boundaries that are empty or end in dashes count only
  // what follows the delimiter.
  for (std::string b : {"b", "ab--", ""}) {
    const std::string ghost = "--" + b +
                              "\r\nContent-Disposition: form-data; "
                              "name=\"ghost\"\r\n\r\nboo\r\n--" +
                              b + "--\r\n";
    for (const std::string &tail : std::vector<std::string>{
             "", "\r\n", "\n", " \t \r\n" + ghost, "\r\n\r\n", "\r\n" + ghost,
             "\r\nContent-Type: x\r\n\r\n"})
      rows.push_back({"closed by " + b + "--" + tail,
                      b,
                      Form(b).field("f", "v").field("g", "w").close(tail),
                      {{"f", none, none, "v"}, {"g", none, none, "w"}}});
  }
  // Content is skipped to its end marker however long it is and whatever it
  // holds, so the next part is the one the client sent.
  for (const std::string &content :
       {std::string(4095, 'c'), std::string(4096, 'c'),
        "a--b" + std::string(5000, '\r'), std::string("\r\n--\r\n-"),
        std::string(8190, '\n') + "\r\n-",
        std::string(
            "x--b\r\nContent-Disposition: form-data; name=\"evil\"\r\n\r\n")})
    rows.push_back(
        {"content of " + std::to_string(content.size()),
         "b",
         Form("b").file("up", "u", "a/b", content).field("next", "ok").close(),
         {{"up", "a/b", "u", content}, {"next", none, none, "ok"}}});
  return rows;
}

TEST_F(Walk, EveryPartAsSent) {
  for (const Row &row : forms()) {
    SCOPED_TRACE(testing::PrintToString(row.what));
    each_feed([&](Feed feed) {
      for (size_t chunk : {size_t{1}, size_t{4096}, size_t{0}, untaken}) {
        SCOPED_TRACE(chunk);
        ASSERT_TRUE(start(row.boundary, row.body, feed));
        const std::vector<Step> got = walk(chunk);
        ASSERT_EQ(got.size(), row.parts.size() + 1);
        for (size_t i = 0; i < row.parts.size(); i++) {
          const Part &want = row.parts[i];
          EXPECT_EQ(got[i].name, want.name);
          EXPECT_EQ(got[i].mime, want.mime);
          EXPECT_EQ(got[i].filename, want.filename);
          EXPECT_TRUE(chunk == untaken || got[i].content == want.content)
              << want.name;
        }
        EXPECT_EQ(got.back().error, "");
        // Ended, the form stays so.
        MpreadPart p{};
        EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
        EXPECT_EQ(err, nullptr);
      }
    });
  }
}

}  // namespace
