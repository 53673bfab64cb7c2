// The request-body buffer's search against std::string::find where the
// intake fuzz model (two matches under 25 bytes) does not reach: a match
// longer than the search's 255-byte move limit, and three matches taken in
// random turn, so that each pushes one of the two kept tables out.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "intake.h"
#include "request.h"

namespace {

using namespace testreq;

TEST(SearchBeyondTheFuzzModel, EveryCallAgreesWithFind) {
  const std::string delimiter = "--" + std::string(69, 'q') + "Z";
  const std::string matches[] = {delimiter, "\r\n" + delimiter,
                                 "\r\n" + std::string(300, '-') + "end"};
  // Dense in near-misses: prefixes, copies but their last byte, whole copies.
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
  for (Feed feed : {Feed::file, Feed::pipe_bytewise}) {
    Request req;
    req.body(body, feed);
    GError *err = nullptr;
    ASSERT_TRUE(intake_init(0, 4096, body.size(), &err));
    std::vector<char> buf(5000);
    for (size_t pos = 0, call = 0;; call++) {
      SCOPED_TRACE(testing::Message() << feed_name(feed) << " call " << call);
      // No two matches stand at one offset: a pick that does not stand
      // here moves the stream on.
      const std::string &m = matches[gen() % 3];
      const size_t chunk = 1 + gen() % buf.size();
      size_t len = 0;
      const int r =
          intake_read_until_match(m.c_str(), buf.data(), chunk, &len, &err);
      ASSERT_EQ(err, nullptr) << err->message;
      const size_t next = std::min(body.find(m, pos), body.size());
      if (pos == body.size()) {
        ASSERT_EQ(r, 0);
        break;
      }
      ASSERT_EQ(r, 1);
      ASSERT_EQ(len, std::min(chunk, next - pos));
      ASSERT_EQ(std::string(buf.data(), len), body.substr(pos, len));
      pos += len;
    }
    intake_release();
  }
}

}  // namespace
