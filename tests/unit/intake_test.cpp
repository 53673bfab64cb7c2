// The request-body buffer: lines and their limit, reading up to a match as
// a plain search finds it, a body shorter or longer than its length, and
// argument errors; each stream through every feed.
#include "intake.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "request.h"

using namespace testreq;

namespace {

// The beginning of an error of the buffer's as describe() gives it.
std::string coded(IntakeError code) {
  return "intake " + std::to_string(code) + ": ";
}

class Intake : public ::testing::Test {
 protected:
  void TearDown() override { intake_release(); }
  void start(std::string body, Feed feed, size_t limit = 0) {
    if (limit == 0) limit = body.size();
    intake_release();
    req.body(std::move(body), feed);
    ASSERT_TRUE(intake_init(0, 4096, limit, &err)) << err->message;
  }
  // The next line, "(end)", or the error as describe() gives it.
  std::string line() {
    char buf[4096];
    size_t len = 0;
    const int r = intake_read_line(buf, sizeof buf, &len, &err);
    return r == 1 ? std::string(buf, len) : r == 0 ? "(end)" : describe(err);
  }
  Request req;
  GError *err = nullptr;
};

// Lines end at LF, with or without CR. 4095 bytes fit with the NUL; a longer
// line, wherever it meets the first refill edge, is refused and consumed
// whole, and so is a line holding a NUL: the next line reads. A body
// shorter than its length fails every later call alike, and the failure
// does not outlive the next init; a longer one is read no further than the
// length, the rest left on the descriptor.
TEST_F(Intake, Lines) {
  const std::string end = "(end)",
                    too_long = coded(INTAKE_ERROR_LINE_TOO_LONG) + "Line of ",
                    ended = coded(INTAKE_ERROR_TRUNCATED) +
                            "Request body ended after 7 of 20 bytes";
  struct Row {
    std::string body;
    std::vector<std::string> lines;
    size_t limit = 0;  // 0: the body's size
    std::string left = "";
  };
  std::vector<Row> rows = {
      {"a\r\nb\n\r\n\nlast", {"a\r\n", "b\n", "\r\n", "\n", "last", end}},
      {std::string("a\0b\r\nnext\r\n", 11),
       {coded(INTAKE_ERROR_LINE_HAS_NUL) + "Line contains a NUL byte",
        "next\r\n", end}},
      {"abc\r\nde", {"abc\r\n", ended, ended}, 20},
      {"0123456789rest", {"0123456789", end, end}, 10, "rest"},
  };
  for (size_t lead : {0, 2000, 4000})
    for (size_t size : {4095, 4096, 10000}) {
      const std::string first = std::string(lead, 'p') + "\r\n",
                        line = std::string(size - 2, 'x') + "\r\n";
      rows.push_back(
          {first + line + "next\r\n",
           {first,
            size == 4095 ? line
                         : too_long + std::to_string(size) +
                               " bytes exceeds the limit of 4095 bytes",
            "next\r\n", end}});
    }
  each_feed([&](Feed feed) {
    for (const Row &row : rows) {
      SCOPED_TRACE(testing::PrintToString(row.body.substr(0, 12)) + " of " +
                   std::to_string(row.body.size()));
      start(row.body, feed, row.limit);
      for (const std::string &want : row.lines) EXPECT_EQ(line(), want);
      std::string left;
      char buf[64];
      for (ssize_t n; (n = read(0, buf, sizeof buf)) > 0;)
        left.append(buf, static_cast<size_t>(n));
      EXPECT_EQ(left, row.left);
    }
  });
}

// Three matches taken in random turn from one stream, in chunks of random
// size, each from the one buffer: each call agrees with a plain search from
// where the stream stands (what the buffer learnt of a match is kept for
// two: each pushes one out), and writes nothing past the count it gives.
// The caller writes each match into the same array: a match is known by its
// text, not by where it lies.
TEST_F(Intake, ReadsUpToAMatchAsAPlainSearchFindsIt) {
  const std::string delimiter = "--" + std::string(69, 'q') + "Z";
  const std::string matches[] = {delimiter, "\r\n" + delimiter,
                                 "\r\n" + std::string(300, '-') + "end"};
  std::mt19937 gen(11);
  std::string body;
  while (body.size() < 30000) {
    const std::string &m = matches[gen() % 3];
    const size_t kind = gen() % 4;
    body += kind == 3 ? random_bytes(1 + gen() % 80, gen())
                      : m.substr(0, kind == 2   ? m.size()
                                    : kind == 1 ? m.size() - 1
                                                : 1 + gen() % m.size());
  }
  each_feed([&](Feed feed) {
    start(body, feed);
    std::vector<char> match(400);
    size_t pos = 0;
    const ChunkCall call = [&](char *buf, size_t size, size_t *len,
                               GError **e) {
      const std::string &m = matches[gen() % 3];
      memcpy(match.data(), m.c_str(), m.size() + 1);
      const size_t chunk = 1 + gen() % size;
      const int r = intake_read_until_match(match.data(), buf, chunk, len, e);
      const size_t want =
          std::min(chunk, std::min(body.find(m, pos), body.size()) - pos);
      if (r != (pos < body.size()) || *len != want) {
        ADD_FAILURE() << "at " << pos << ": " << r << ", " << *len
                      << " bytes, not " << want;
        return -3;
      }
      pos += want;
      return r;
    };
    std::string out;
    int r;
    while ((r = take_chunks(call, 5000, out, &err)) == 1) {
    }
    EXPECT_EQ(r, 0) << describe(err);
    EXPECT_TRUE(out == body);
  });
}

// A refused argument is an error that consumes nothing: a row for each
// check of the arguments.
TEST_F(Intake, BadArgumentsAreErrors) {
  char buf[8];
  size_t len;
  EXPECT_EQ(intake_read_line(buf, sizeof buf, &len, &err), -1);
  EXPECT_ERROR(err, coded(INTAKE_ERROR_NOT_INITIALIZED));
  EXPECT_FALSE(intake_init(0, SIZE_MAX, 10, &err));  // no memory for it
  EXPECT_ERROR(err, coded(INTAKE_ERROR_NO_MEMORY));
  start("x\r\nline\r\n", Feed::file);
  const auto until = intake_read_until_match;
  const std::function<int(GError **)> calls[] = {
      [&](GError **e) { return intake_read_line(nullptr, 8, &len, e); },
      [&](GError **e) { return until(nullptr, buf, 8, &len, e); },
      [&](GError **e) { return until("", buf, 8, &len, e); },
      [&](GError **e) { return intake_peek(nullptr, 2, &len, e) - 1; },
      [&](GError **e) { return intake_peek(buf, 5000, &len, e) - 1; },
      [&](GError **e) { return intake_init(0, 0, 10, e) - 1; },
      [&](GError **e) { return intake_init(-1, 4096, 10, e) - 1; },
  };
  for (const auto &call : calls) {
    EXPECT_LT(call(&err), 0);
    EXPECT_ERROR(err, coded(INTAKE_ERROR_INVALID_ARGUMENT));
    EXPECT_LT(call(nullptr), 0);
  }
  // A null length is fine for lines.
  ASSERT_EQ(intake_read_line(buf, sizeof buf, nullptr, &err), 1);
  EXPECT_STREQ(buf, "x\r\n");
  EXPECT_EQ(line(), "line\r\n");
}

}  // namespace
