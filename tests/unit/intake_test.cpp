// The request-body buffer: lines, searches and their refill edges, the
// descriptor's end, the limit, and argument errors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <tuple>

#include "intake.h"
#include "request.h"

using namespace testreq;

namespace {

class Intake : public ::testing::Test {
 protected:
  void TearDown() override { intake_release(); }
  void start(std::string body, Feed feed = Feed::file, size_t capacity = 4096,
             size_t limit = SIZE_MAX) {
    if (limit == SIZE_MAX) limit = body.size();
    req.body(std::move(body), feed);
    ASSERT_TRUE(intake_init(0, capacity, limit, &err)) << err->message;
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

// Line sizes around the 4095 bytes that fit with the NUL, each starting at
// offsets that put it across the first refill edge. An over-long line is
// refused whole and the next line reads.
TEST_F(Intake, LineLimitAcrossRefillEdges) {
  struct Case { size_t size; bool fits; };
  for (Case c : {Case{4094, true}, {4095, true}, {4096, false},
                 {4097, false}, {10000, false}}) {
    for (size_t lead : {0, 1, 2000, 4000}) {
      SCOPED_TRACE(testing::Message() << c.size << " after " << lead);
      std::string first = std::string(lead, 'p') + "\r\n";
      std::string mid = std::string(c.size - 2, 'x') + "\r\n";
      start(first + mid + "next\r\n");
      EXPECT_EQ(line(), first);
      if (c.fits) {
        EXPECT_EQ(line(), mid);
      } else {
        line(-1);
        std::string msg = "Line of " + std::to_string(c.size) +
                          " bytes exceeds the limit of 4095 bytes";
        EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_LINE_TOO_LONG,
                      msg.c_str());
      }
      EXPECT_EQ(line(), "next\r\n");
      line(0);
    }
  }
}

TEST_F(Intake, LineWithNulIsRefusedAndSkipped) {
  start(std::string("a\0b\r\nnext\n", 10));
  line(-1);
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_LINE_HAS_NUL, "");
  EXPECT_EQ(line(), "next\n");
}

TEST_F(Intake, PeekConsumesNothingAndReportsShortTail) {
  start("abcdef");
  char buf[16] = {};
  size_t len = 99;
  ASSERT_TRUE(intake_peek(buf, 3, &len, &err));
  EXPECT_EQ(std::string(buf, len), "abc");
  ASSERT_TRUE(intake_peek(buf, 10, &len, &err));
  EXPECT_EQ(std::string(buf, len), "abcdef");
  EXPECT_EQ(line(), "abcdef");
  ASSERT_TRUE(intake_peek(buf, 3, nullptr, &err));
  ASSERT_TRUE(intake_peek(buf, 3, &len, &err));
  EXPECT_EQ(len, 0u);
}

// Searches checked against std::string::find on bodies full of near-misses:
// prefixes of the match, CRs, whole matches, random bytes. After each stop at
// the match, the line holding it is read, as the reader does.
std::string near_miss_body(const std::string &m, size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s;
  while (s.size() < n) {
    switch (gen() % 6) {
      case 0: s += m.substr(0, 1 + gen() % m.size()); break;
      case 1: s += "\r\n"; break;
      case 2: s += '\r'; break;
      case 3: s += m + "\n"; break;
      default:
        for (char c : random_bytes(1 + gen() % 60, gen()))
          s += c == '\0' ? '\1' : c;  // lines must hold no NUL
    }
  }
  return s;
}

class IntakeSearch
    : public Intake,
      public testing::WithParamInterface<std::tuple<Feed, size_t, size_t>> {};

TEST_P(IntakeSearch, AgreesWithFind) {
  auto [feed, capacity, chunk] = GetParam();
  for (std::string m : {"\r\n--XyZ", "--", "\r\n------WebKitFormBoundary7MA4"}) {
    std::string body = near_miss_body(m, 12000, static_cast<unsigned>(chunk));
    SCOPED_TRACE(testing::PrintToString(m));
    start(body, feed, capacity);
    std::vector<char> buf(chunk), text(body.size() + 2);
    for (size_t pos = 0;;) {
      size_t next = body.find(m, pos);
      std::string got;
      size_t len = 0;
      int r;
      bool was_short = false;
      while ((r = intake_read_until_match(m.c_str(), buf.data(), chunk, &len,
                                          &err)) == 1 && len > 0) {
        ASSERT_FALSE(was_short) << "a short chunk must stop at the match";
        was_short = len < chunk && chunk <= capacity;
        got.append(buf.data(), len);
      }
      ASSERT_EQ(err, nullptr) << err->message;
      ASSERT_EQ(got, body.substr(pos, next == std::string::npos
                                          ? std::string::npos : next - pos));
      if (next == std::string::npos) {
        ASSERT_EQ(r, 0);
        break;
      }
      ASSERT_EQ(r, 1);
      size_t eol = body.find('\n', next);
      size_t end = eol == std::string::npos ? body.size() : eol + 1;
      ASSERT_EQ(intake_read_line(text.data(), text.size(), &len, &err), 1);
      ASSERT_EQ(std::string(text.data(), len), body.substr(next, end - next));
      pos = end;
    }
    intake_release();
  }
}

INSTANTIATE_TEST_SUITE_P(
    , IntakeSearch,
    testing::Combine(testing::ValuesIn(all_feeds), testing::Values(4096, 64),
                     testing::Values(1, 100, 4096)),
    [](const auto &info) {
      return std::string(feed_name(std::get<0>(info.param))) + "_buf" +
             std::to_string(std::get<1>(info.param)) + "_chunk" +
             std::to_string(std::get<2>(info.param));
    });

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
        intake_release();
      }
}

TEST_F(Intake, TruncatedBodyIsAnErrorEveryTime) {
  start("abc\r\nde", Feed::pipe_whole, 4096, 20);
  EXPECT_EQ(line(), "abc\r\n");
  const char *msg = "Request body ended after 7 of 20 bytes";
  line(-1);
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, msg);
  char buf[8];
  size_t len;
  EXPECT_EQ(intake_read_until_match("x", buf, sizeof buf, &len, &err), -1);
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, msg);
  EXPECT_FALSE(intake_peek(buf, 1, &len, &err));
  EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, msg);
}

TEST_F(Intake, ReadsNoMoreThanTheLimit) {
  start("0123456789rest", Feed::pipe_whole, 4096, 10);
  char buf[64];
  size_t len;
  ASSERT_EQ(intake_read_until_match("#", buf, sizeof buf, &len, &err), 1);
  EXPECT_EQ(std::string(buf, len), "0123456789");
  EXPECT_EQ(intake_read_until_match("#", buf, sizeof buf, &len, &err), 0);
  EXPECT_EQ(intake_read_until_match("#", buf, sizeof buf, &len, &err), 0);
  line(0);
  ssize_t n = read(0, buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "rest");
}

TEST_F(Intake, SecondInitStartsAfresh) {
  start("old line\r\nmore", Feed::pipe_whole, 4096, 100);
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
  EXPECT_EQ(intake_read_until_match("x", buf, 8, &len, &err), -1);
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_NOT_INITIALIZED, "");
  EXPECT_FALSE(intake_peek(buf, 1, &len, &err));
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_NOT_INITIALIZED, "");
  EXPECT_FALSE(intake_init(0, 0, 10, &err));
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT, "");
  EXPECT_FALSE(intake_init(-1, 4096, 10, &err));
  EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT, "");

  start("x\r\nline\r\n");
  using Call = std::function<int(GError **)>;
  const Call calls[] = {
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
  for (const Call &call : calls) {
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
