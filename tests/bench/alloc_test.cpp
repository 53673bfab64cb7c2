// Memory that does not grow with the upload: mpread_write_part_to_file
// allocates per call, never per chunk. Heap calls are counted by wrapping
// glibc's allocator in this executable (which the libraries' calls reach
// too), on the test's own thread only: the pipe feeder allocates as well.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <unistd.h>

#include "mpread.h"
#include "request.h"

namespace {
__thread bool counting;
__thread unsigned long allocations;
void *counted(void *p) {
  allocations += counting;
  return p;
}
}  // namespace

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *malloc(size_t n) { return counted(__libc_malloc(n)); }
void *calloc(size_t n, size_t size) { return counted(__libc_calloc(n, size)); }
void *realloc(void *p, size_t n) { return counted(__libc_realloc(p, n)); }
}

namespace {

using namespace testreq;

// Heap allocations by the one mpread_write_part_to_file call that takes a
// part of `size` bytes to /dev/null.
unsigned long allocations_writing(size_t size, Feed feed) {
  Request req;
  req.form(
      "b",
      Form("b")
          .file("f", "a.bin", "application/octet-stream", random_bytes(size, 7))
          .close(),
      feed);
  GError *error = nullptr;
  allocations = 0;
  counting = true;
  EXPECT_TRUE(mpread_init(&error));
  EXPECT_GE(allocations, 1u) << "init's state record went uncounted";
  MpreadPart part{};
  EXPECT_EQ(mpread_get_next_part(&part, &error), 1);
  const int devnull = open("/dev/null", O_WRONLY);
  allocations = 0;
  EXPECT_TRUE(mpread_write_part_to_file(devnull, &error));
  counting = false;
  close(devnull);
  mpread_release_part(&part);
  mpread_release();
  g_clear_error(&error);
  return allocations;
}

TEST(WritePartToFileMemory, AllocatesTheSameForOneChunkAsForAThousand) {
  for (Feed feed : {Feed::file, Feed::pipe_whole}) {
    SCOPED_TRACE(feed_name(feed));
    const unsigned long one_chunk = allocations_writing(1000, feed);
    EXPECT_EQ(one_chunk, allocations_writing(4 << 20, feed));
    EXPECT_LE(one_chunk, 4u);
  }
}

}  // namespace
