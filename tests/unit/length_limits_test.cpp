// CONTENT_LENGTH at the edge of size_t, through the public interface. The
// same source runs on x86-64 and on 32-bit mipsel under qemu: there the edge
// is 4 GiB, and a length one past it must be refused, never wrapped into a
// small one.
#include <gtest/gtest.h>

#include <stdint.h>

#include <string>

#include "mpread.h"
#include "reqinfo.h"
#include "request.h"

using namespace testreq;

namespace {

class LengthLimits : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  Request req;
  GError *err = nullptr;
};

// SIZE_MAX ends in 5 on 32 and 64 bits alike, so bumping the last digit
// gives SIZE_MAX + 1 without arithmetic that would itself wrap.
std::string size_max_plus(char last_digit_bump) {
  std::string s = std::to_string(SIZE_MAX);
  s.back() = static_cast<char>(s.back() + last_digit_bump);
  return s;
}

TEST_F(LengthLimits, LengthsPastSizeMaxAreRefusedByInit) {
  const std::string lengths[] = {
      size_max_plus(1),
      std::to_string(SIZE_MAX) + "0",
      // 2^32 and 2^32 + a small body: the wrapped values a 32-bit parser
      // without checks would take for a 0- or 5-byte body.
      sizeof(size_t) == 4 ? "4294967296" : "18446744073709551616",
      sizeof(size_t) == 4 ? "4294967301" : "18446744073709551621",
  };
  for (const std::string &length : lengths) {
    SCOPED_TRACE(length);
    req.form("b", Form("b").field("a", "x").close());
    Request::env("CONTENT_LENGTH", length.c_str());
    EXPECT_FALSE(mpread_init(&err));
    EXPECT_GERROR_PREFIX(err, REQINFO_ERROR, REQINFO_ERROR_INVALID, "");
    MpreadPart p{};
    EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
    EXPECT_GERROR(err, MPREAD_ERROR, MPREAD_ERROR_NOT_INITIALIZED,
                  "Mpread has not been initialized");
  }
}

// The largest length is a limit like any other: a short, complete form
// under it is read whole, with no overflow in the buffer's arithmetic.
TEST_F(LengthLimits, SizeMaxIsALimitNotAnOverflow) {
  const std::string content = random_bytes(9000, 7);
  for (Feed feed : {Feed::file, Feed::pipe_whole}) {
    SCOPED_TRACE(feed_name(feed));
    req.form("b", Form("b").field("a", "x").file("f", "f.bin", "a/b", content)
                      .close("\r\n"),
             feed);
    Request::env("CONTENT_LENGTH", std::to_string(SIZE_MAX).c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    Walk w = walk_form(4096, &err);
    EXPECT_EQ(w.last, 0);
    EXPECT_EQ(err, nullptr);
    ASSERT_EQ(w.parts.size(), 2u);
    EXPECT_EQ(w.parts[0].content, "x");
    EXPECT_EQ(w.parts[1].content, content);
    mpread_release();
  }
}

}  // namespace
