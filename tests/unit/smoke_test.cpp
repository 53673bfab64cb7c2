#include <gtest/gtest.h>

#include "mpread.h"
#include "request.h"

using namespace testreq;

TEST(Smoke, WalksAForm) {
  Request req;
  Form f("XyZ");
  f.field("a", "hello").file("up", "C:\\x\\a.txt", "text/plain",
                             random_bytes(10000, 1));
  req.form("XyZ", f.close("\r\n"));
  GError *err = nullptr;
  ASSERT_TRUE(mpread_init(&err)) << err->message;
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  EXPECT_STREQ(p.name, "a");
  char buf[3];
  size_t len;
  std::string got;
  while (mpread_get_part_buffer(buf, sizeof buf, &len, &err) == 1 && len > 0)
    got.append(buf, len);
  EXPECT_EQ(got, "hello");
  mpread_release_part(&p);
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  EXPECT_STREQ(p.filename, "a.txt");
  EXPECT_STREQ(p.mime, "text/plain");
  mpread_release_part(&p);
  EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
  EXPECT_EQ(err, nullptr);
  mpread_release();
}
