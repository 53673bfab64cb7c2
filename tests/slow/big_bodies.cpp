// A 100 MB upload streamed through mpread_write_part_to_file takes the
// memory a 1 MB one takes: nothing may grow with the content. (Dense
// near-copies of the delimiter are the search test's and the benchmark's.)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "request.h"

namespace {

using namespace testreq;

// Streams a form with one file of `size` bytes from a generator thread
// through a pipe on descriptor 0 (the body itself is never held whole),
// writing the content to /dev/null. The content: random bytes laced with
// near-misses of the end marker, so the search works as hard as on a
// hostile upload.
void stream(size_t size) {
  const std::string b = "StreamMemoryBoundary", near = "\r\n--" + b.substr(0, b.size() - 1);
  std::string chunk = random_bytes(65536, 3);
  for (size_t at = 0; at + near.size() < chunk.size(); at += 997) chunk.replace(at, near.size(), near);
  const std::string head = "--" + b + "\r\nContent-Disposition: form-data; name=\"f\"; "
                           "filename=\"big.bin\"\r\n\r\n", tail = "\r\n--" + b + "--\r\n";
  Request::env("REQUEST_METHOD", "POST");
  Request::env("CONTENT_TYPE", ("multipart/form-data; boundary=" + b).c_str());
  Request::env("CONTENT_LENGTH", std::to_string(head.size() + size + tail.size()).c_str());
  int saved = dup(0), fds[2];
  ASSERT_EQ(pipe(fds), 0);
  dup2(fds[0], 0);
  close(fds[0]);
  std::thread feeder([&, w = fds[1]] {
    auto put = [w](const std::string &s, size_t n) {
      for (size_t i = 0; i < n;) {
        ssize_t r = write(w, s.data() + i, n - i);
        if (r <= 0) return false;
        i += static_cast<size_t>(r);
      }
      return true;
    };
    bool ok = put(head, head.size());
    for (size_t left = size; ok && left > 0; left -= std::min(left, chunk.size()))
      ok = put(chunk, std::min(left, chunk.size()));
    if (ok) put(tail, tail.size());
    close(w);
  });
  GError *err = nullptr;
  EXPECT_TRUE(mpread_init(&err));
  MpreadPart part{};
  EXPECT_EQ(mpread_get_next_part(&part, &err), 1);
  mpread_release_part(&part);
  int null = open("/dev/null", O_WRONLY);
  EXPECT_TRUE(mpread_write_part_to_file(null, &err));
  close(null);
  // The walk ends at the closing delimiter: every content byte was passed.
  EXPECT_EQ(mpread_get_next_part(&part, &err), 0);
  EXPECT_EQ(describe(err), "");
  mpread_release();
  dup2(saved, 0);  // also unblocks the feeder should the walk have stopped
  close(saved);
  feeder.join();
}

long peak_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

TEST(StreamMemory, HundredMegabytesTakeNoMoreThanOne) {
  signal(SIGPIPE, SIG_IGN);
  stream(size_t{1} << 20);
  const long small = peak_kib();
  stream(size_t{100} << 20);
  const long large = peak_kib();
  std::printf("peak RSS after 1 MB: %ld KiB, after 100 MB: %ld KiB\n", small, large);
  EXPECT_LE(large - small, 8 * 1024);
}

}  // namespace
