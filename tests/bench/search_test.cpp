// The request-body buffer's search as the form reader drives it: two
// matches taken in turn (the delimiter between parts, the end marker within
// one), now and then a third that pushes one of them out, matches longer
// than the search's 255-byte move limit, binary content, and chunks of every
// size, each call checked against std::string::find on the whole body.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "intake.h"
#include "request.h"

using namespace testreq;

namespace {

// Dense in near-misses of every match: prefixes, copies missing their last
// byte or with one byte changed, CR LF runs, whole matches and binary bytes.
std::string body_for(const std::vector<std::string> &matches, size_t n,
                     unsigned seed) {
  std::mt19937 gen(seed);
  std::string s;
  while (s.size() < n) {
    const std::string &m = matches[gen() % matches.size()];
    switch (gen() % 7) {
      case 0: s += m.substr(0, 1 + gen() % m.size()); break;
      case 1: s += m.substr(0, m.size() - 1); break;
      case 2: {
        std::string c = m;
        c[gen() % c.size()] ^= static_cast<char>(1 + gen() % 255);
        s += c;
        break;
      }
      case 3: s += "\r\n\r\n\r"; break;
      case 4: s += m; break;
      default: s += random_bytes(1 + gen() % 80, gen());
    }
  }
  return s;
}

class TwoMatchSearch
    : public testing::TestWithParam<std::tuple<Feed, size_t, bool>> {
 protected:
  void TearDown() override { intake_release(); }
};

TEST_P(TwoMatchSearch, EveryCallAgreesWithFind) {
  auto [feed, capacity, with_long] = GetParam();
  // Ending in "--", the match's last byte also stands just before it: the
  // search's short-move path; ending in a byte of its own, the plain one.
  const std::string delimiter =
      with_long ? "--" + std::string(69, 'q') + "Z" : "--qqqqqqqqq--";
  const std::string marker = "\r\n" + delimiter;
  std::vector<std::string> matches = {delimiter, marker};
  if (with_long) matches.push_back("\r\n" + std::string(300, '-') + "end");
  const std::string body = body_for(matches, 30000, 11 + capacity);
  Request req;
  req.body(body, feed);
  GError *err = nullptr;
  ASSERT_TRUE(intake_init(0, capacity, body.size(), &err));

  std::mt19937 gen(5);
  std::vector<char> buf(capacity + 50);
  size_t pos = 0, which = 0;
  for (int call = 0;; call++) {
    // Mostly the reader's two in turn; the third now and then.
    size_t pick = with_long && gen() % 8 == 0 ? 2 : which;
    const std::string &m = matches[pick];
    size_t chunk = 1 + gen() % (capacity + 50);
    size_t len = 0;
    int r = intake_read_until_match(m.c_str(), buf.data(), chunk, &len, &err);
    ASSERT_EQ(err, nullptr) << err->message;
    size_t next = body.find(m, pos);
    size_t avail = (next == std::string::npos ? body.size() : next) - pos;
    SCOPED_TRACE("call " + std::to_string(call) + " at " + std::to_string(pos));
    if (avail == 0 && next == std::string::npos) {
      ASSERT_EQ(r, 0);
      break;
    }
    ASSERT_EQ(r, 1);
    ASSERT_EQ(len, std::min(chunk, avail));
    ASSERT_EQ(std::string(buf.data(), len), body.substr(pos, len));
    pos += len;
    // Standing at one match, the other one moves the stream on.
    if (len == 0 || gen() % 3 == 0) which ^= 1;
  }
}

INSTANTIATE_TEST_SUITE_P(
    , TwoMatchSearch,
    testing::Values(std::make_tuple(Feed::file, size_t{4096}, true),
                    std::make_tuple(Feed::pipe_bytewise, size_t{4096}, true),
                    std::make_tuple(Feed::file, size_t{64}, false),
                    std::make_tuple(Feed::pipe_whole, size_t{64}, false)),
    [](const auto &info) {
      return std::string(feed_name(std::get<0>(info.param))) + "_buf" +
             std::to_string(std::get<1>(info.param)) +
             (std::get<2>(info.param) ? "_long" : "");
    });

}  // namespace
