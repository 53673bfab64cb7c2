// Memory that does not grow with the upload: mpread_write_part_to_file
// allocates per call, never per chunk. Heap calls are counted by wrapping
// glibc's allocator in this executable (which the libraries' calls reach
// too), on the test's own thread only: the pipe feeder allocates as well.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stddef.h>
#include <unistd.h>

#include <string>

#include "mpread.h"
#include "request.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
__thread bool counting;
__thread unsigned long allocations;
}  // namespace

extern "C" {
void *malloc(size_t n) {
  if (counting) allocations++;
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) {
  if (counting) allocations++;
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) {
  if (counting) allocations++;
  return __libc_realloc(p, n);
}
void free(void *p) { __libc_free(p); }
}

namespace {

using testreq::Feed;

struct Counts {
  unsigned long init;   // by mpread_init
  unsigned long write;  // by the one mpread_write_part_to_file call
};

// Heap allocations while a part of `content_size` bytes is taken with
// mpread_write_part_to_file to /dev/null.
Counts allocations_writing(size_t content_size, Feed feed) {
  testreq::Request req;
  testreq::Form form("AaB03x");
  form.file("upload", "a.bin", "application/octet-stream",
            testreq::random_bytes(content_size, 7));
  req.form(form.boundary(), form.close(), feed);
  GError *error = nullptr;
  Counts c{};
  counting = true;
  allocations = 0;
  EXPECT_TRUE(mpread_init(&error));
  c.init = allocations;
  counting = false;
  MpreadPart part{};
  EXPECT_EQ(mpread_get_next_part(&part, &error), 1);
  int devnull = open("/dev/null", O_WRONLY);
  counting = true;
  allocations = 0;
  gboolean ok = mpread_write_part_to_file(devnull, &error);
  c.write = allocations;
  counting = false;
  EXPECT_TRUE(ok) << (error ? error->message : "");
  close(devnull);
  mpread_release_part(&part);
  EXPECT_EQ(mpread_get_next_part(&part, &error), 0);
  mpread_release();
  g_clear_error(&error);
  return c;
}

TEST(WritePartToFileMemory, AllocatesTheSameForOneChunkAsForAThousand) {
  for (Feed feed : {Feed::file, Feed::pipe_whole}) {
    Counts one_chunk = allocations_writing(1000, feed);
    Counts many = allocations_writing(4 << 20, feed);
    // Init allocates (its state record at least): the count is live.
    EXPECT_GE(one_chunk.init, 1u) << testreq::feed_name(feed);
    EXPECT_EQ(one_chunk.write, many.write) << testreq::feed_name(feed);
    EXPECT_LE(many.write, 4u) << testreq::feed_name(feed);
  }
}

}  // namespace
