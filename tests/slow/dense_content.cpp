// 16 MiB of content made only of what a delimiter search stumbles over must
// come out byte for byte (how fast is the benchmark's matter, not a test's).
#include "request.h"

namespace {

using namespace testreq;
class AttackTest : public ReaderTest {};

TEST_F(AttackTest, DenseContentComesOutWhole) {
  const std::string boundary = "----DenseBoundary4096";
  // CR LF pairs, LF, CR, and CR LF plus the delimiter but its last byte.
  for (const std::string &unit : std::vector<std::string>{
           "\r\n", "\n", "\r",
           "\r\n--" + boundary.substr(0, boundary.size() - 1)}) {
    SCOPED_TRACE(testing::PrintToString(unit));
    std::string content;
    while (content.size() < (16u << 20)) content += unit;
    content.resize(16u << 20);
    const std::string body =
        Form(boundary)
            .file("f", "dense.bin", "application/octet-stream", content)
            .field("after", "tail")
            .close("\r\n");
    for (size_t chunk : {65536, 0}) {
      ASSERT_TRUE(start(boundary, body)) << err->message;
      expect_contents(walk(chunk), {content, "tail"});
    }
  }
}

}  // namespace
