// 16 MiB of content made only of what a delimiter search stumbles over:
// CR LF pairs, LF, CR, and near-copies of the end marker. Each must come out
// byte for byte and end (how fast is the benchmark's matter, not a test's).
#include <ostream>

#include "attack.h"

using namespace testreq;
using namespace attack;

namespace {

constexpr size_t dense_size = 16u << 20;

std::string repeat(const std::string &unit) {
  std::string s;
  s.reserve(dense_size + unit.size());
  while (s.size() < dense_size) s += unit;
  s.resize(dense_size);
  return s;
}

struct Dense {
  const char *name;
  std::string unit;  // "" stands for CR LF and the delimiter but its last byte
};

void PrintTo(const Dense &d, std::ostream *os) { *os << d.name; }

class DenseContent : public AttackTest, public testing::WithParamInterface<Dense> {};

TEST_P(DenseContent, ComesOutWhole) {
  const std::string boundary = "----DenseBoundary4096";
  std::string unit = GetParam().unit;
  if (unit.empty()) unit = "\r\n--" + boundary.substr(0, boundary.size() - 1);
  const std::string content = repeat(unit);
  Form form(boundary);
  form.file("f", "dense.bin", "application/octet-stream", content)
      .field("after", "tail");
  const std::string body = form.close("\r\n");
  // Once in large chunks, once written to a descriptor.
  for (size_t chunk : {65536, 0}) {
    SCOPED_TRACE(chunk);
    ASSERT_TRUE(start(boundary, body)) << err->message;
    std::vector<Step> steps = walk_all(chunk);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].content_result, 1) << steps[0].content_error;
    EXPECT_EQ(steps[0].part.content.size(), content.size());
    EXPECT_TRUE(steps[0].part.content == content);
    EXPECT_EQ(steps[1].part.content, "tail");
    EXPECT_EQ(steps[2].result, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(, DenseContent,
                         testing::Values(Dense{"CrLf", "\r\n"}, Dense{"Lf", "\n"},
                                         Dense{"Cr", "\r"}, Dense{"NearDelimiter", ""}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
