// The request-body buffer: line ends, the line limit and the match at the
// refill edge, a short body, a second init, and argument errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "intake.h"
#include "request.h"

using namespace testreq;

namespace {

class Intake : public ::testing::Test {
 protected:
  void TearDown() override { intake_release(); }
  void start(std::string body, Feed feed = Feed::file, size_t limit = 0) {
    if (limit == 0) limit = body.size();
    intake_release();
    req.body(std::move(body), feed);
    ASSERT_TRUE(intake_init(0, 4096, limit, &err)) << err->message;
  }
  std::string line(int expect = 1) {
    char buf[4096];
    size_t len = 0;
    EXPECT_EQ(intake_read_line(buf, sizeof buf, &len, &err), expect);
    return expect == 1 ? std::string(buf, len) : std::string();
  }
  Request req;
  GError *err = nullptr;
};

TEST_F(Intake, LinesEndAtLfWithOrWithoutCr) {
  start("a\r\nb\n\r\n\nlast");
  for (const char *want : {"a\r\n", "b\n", "\r\n", "\n", "last"})
    EXPECT_EQ(line(), want);
  line(0);
  line(0);
  EXPECT_EQ(err, nullptr);
}

// 4095 bytes fit with the NUL. Each line starts at offsets that put it
// across the first refill edge; an over-long line is refused, consumed
// whole, and the next line reads.
TEST_F(Intake, LineLimitAcrossRefillEdges) {
  for (size_t size : {4095, 4096, 10000})
    for (size_t lead : {0, 2000, 4000}) {
      SCOPED_TRACE(testing::Message() << size << " after " << lead);
      std::string first = std::string(lead, 'p') + "\r\n";
      std::string mid = std::string(size - 2, 'x') + "\r\n";
      start(first + mid + "next\r\n");
      EXPECT_EQ(line(), first);
      if (size == 4095) {
        EXPECT_EQ(line(), mid);
      } else {
        line(-1);
        std::string msg = "Line of " + std::to_string(size) +
                          " bytes exceeds the limit of 4095 bytes";
        EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_LINE_TOO_LONG, msg.c_str());
      }
      EXPECT_EQ(line(), "next\r\n");
      line(0);
    }
}

// The match split over two refills at every split point, behind plain
// filler and behind a run of CRs (each a candidate start of the match).
TEST_F(Intake, MatchSplitOverRefills) {
  const std::string m = "\r\n--boundary";
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (char fill : {'a', '\r'})
      for (size_t off = 4096 - m.size() - 1; off <= 4097; off++) {
        SCOPED_TRACE(testing::Message() << feed_name(feed) << off);
        start(std::string(off, fill) + m + "\r\ntail", feed);
        std::vector<char> buf(4096);
        std::string got;
        size_t len = 0;
        while (intake_read_until_match(m.c_str(), buf.data(), buf.size(),
                                       &len, &err) == 1 && len > 0)
          got.append(buf.data(), len);
        EXPECT_EQ(got, std::string(off, fill));
        EXPECT_EQ(line(), "\r\n");
        EXPECT_EQ(line(), "--boundary\r\n");
      }
}

// Only dest[0, *length) changes, whatever the buffer's size: the match and
// what follows it (the next part's headers) never land in the caller's
// buffer.
TEST_F(Intake, NothingWrittenPastTheLength) {
  const std::string m = "\r\n--boundary";
  for (size_t size : {4095, 4096, 9000}) {
    SCOPED_TRACE(size);
    start("content" + m + "\r\ntail");
    std::vector<char> buf(size, '#');
    size_t len = 0;
    ASSERT_EQ(intake_read_until_match(m.c_str(), buf.data(), size, &len, &err), 1);
    EXPECT_EQ(std::string(buf.data(), len), "content");
    EXPECT_EQ(std::string(buf.data(), size).find_first_not_of('#', len), std::string::npos);
    EXPECT_EQ(line(), "\r\n");
    EXPECT_EQ(line(), "--boundary\r\n");
    EXPECT_EQ(line(), "tail");
  }
}

// A match is known by its text, not by where it lies: a caller that builds
// its matches in one buffer gets the search of the text it holds now.
TEST_F(Intake, MatchKnownByItsText) {
  const struct {
    const char *first, *then, *delivered;
  } rows[] = {
      {"XYZ", "YZ", "X"},  // a suffix of the match is reached within one call
      {"XYZ", "Z", "XY"},
      {"XYZ", "XYW", "XYZtail"},  // the same length, another text
      {"XYZ", "XYZ", ""},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.then);
    start("abcXYZtail");
    char match[8], buf[64];
    size_t len = 0;
    strcpy(match, row.first);
    ASSERT_EQ(intake_read_until_match(match, buf, sizeof buf, &len, &err), 1);
    EXPECT_EQ(std::string(buf, len), "abc");
    strcpy(match, row.then);
    ASSERT_EQ(intake_read_until_match(match, buf, sizeof buf, &len, &err), 1);
    EXPECT_EQ(std::string(buf, len), row.delivered);
  }
}

// A body shorter than its length fails every later call alike; a longer
// one is read no further than the length.
TEST_F(Intake, BodyShortOrLongerThanItsLength) {
  start("abc\r\nde", Feed::pipe_whole, 20);
  EXPECT_EQ(line(), "abc\r\n");
  const char *msg = "Request body ended after 7 of 20 bytes";
  line(-1);
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, msg);
  char buf[64];
  size_t len;
  EXPECT_EQ(intake_read_until_match("x", buf, sizeof buf, &len, &err), -1);
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, msg);

  start("0123456789rest", Feed::pipe_whole, 10);
  ASSERT_EQ(intake_read_until_match("#", buf, sizeof buf, &len, &err), 1);
  EXPECT_EQ(std::string(buf, len), "0123456789");
  EXPECT_EQ(intake_read_until_match("#", buf, sizeof buf, &len, &err), 0);
  line(0);
  ssize_t n = read(0, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "rest");
}

TEST_F(Intake, SecondInitStartsAfresh) {
  start("old line\r\nmore", Feed::pipe_whole, 100);
  EXPECT_EQ(line(), "old line\r\n");
  line(-1);  // truncated: the failure must not stick to the next init
  g_clear_error(&err);
  start("new\r\n");
  EXPECT_EQ(line(), "new\r\n");
  intake_release();
  intake_release();
  start("again\n");
  EXPECT_EQ(line(), "again\n");
}

TEST_F(Intake, BadArgumentsAreErrors) {
  char buf[8];
  size_t len;
  EXPECT_EQ(intake_read_line(buf, sizeof buf, &len, &err), -1);
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_NOT_INITIALIZED, "");
  EXPECT_FALSE(intake_init(0, 0, 10, &err));
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT, "");
  EXPECT_FALSE(intake_init(-1, 4096, 10, &err));
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT, "");
  EXPECT_FALSE(intake_init(0, SIZE_MAX, 10, &err));  // no memory for it
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_NO_MEMORY, "");

  start("x\r\nline\r\n");
  const std::function<int(GError **)> calls[] = {
      [&](GError **e) { return intake_read_line(nullptr, 8, &len, e); },
      [&](GError **e) { return intake_read_line(buf, 0, &len, e); },
      [&](GError **e) { return intake_read_until_match(nullptr, buf, 8, &len, e); },
      [&](GError **e) { return intake_read_until_match("", buf, 8, &len, e); },
      [&](GError **e) { return intake_read_until_match("x", nullptr, 8, &len, e); },
      [&](GError **e) { return intake_read_until_match("x", buf, 0, &len, e); },
      [&](GError **e) { return intake_read_until_match("x", buf, 8, nullptr, e); },
      [&](GError **e) { return intake_peek(nullptr, 2, &len, e) ? 1 : -1; },
      [&](GError **e) { return intake_peek(buf, 5000, &len, e) ? 1 : -1; },
  };
  for (const auto &call : calls) {
    EXPECT_LT(call(&err), 0);
    EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT, "");
    EXPECT_LT(call(nullptr), 0);
  }
  // Refused calls consume nothing; a null length is fine for lines.
  ASSERT_EQ(intake_read_line(buf, sizeof buf, nullptr, &err), 1);
  EXPECT_STREQ(buf, "x\r\n");
  EXPECT_EQ(line(), "line\r\n");
}

}  // namespace
