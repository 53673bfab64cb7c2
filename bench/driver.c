/* The library's side of the benchmark: a CGI program as a user writes it,
 * linked against libmpread.so.0, taking the request on descriptor 0.
 *
 *   driver write PATH    every part's content onto one descriptor (PATH)
 *   driver files DIR     every part into a file of its own under DIR
 *   driver chunks SIZE   every part through mpread_get_part_buffer
 *
 * Prints "parts N bytes M refused R" (parts read, content bytes taken,
 * parts refused) so that the benchmark can check each run did the whole
 * job. A refused part is counted and the walk goes on, as a handler does;
 * any other error exits 1. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <mpread.h>

enum mode { MODE_WRITE, MODE_FILES, MODE_CHUNKS };

struct totals {
  unsigned long parts, refused;
  unsigned long long bytes;
};

static int take_part_into_file(const char *dir, unsigned long index,
                               GError **error) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%05lu", dir, index);
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    fprintf(stderr, "driver: %s: %s\n", path, strerror(errno));
    return 0;
  }
  gboolean ok = mpread_write_part_to_file(fd, error);
  close(fd);
  return ok;
}

/* The whole request, from init to release. Kept out of line so that
 * callgrind can count its instructions alone (--toggle-collect=read_form):
 * process start-up and library loading are not the library's per-request
 * cost. */
__attribute__((noinline)) int read_form(enum mode mode, const char *arg,
                                        int out_fd, struct totals *t,
                                        GError **error) {
  static char buf[1 << 20];
  size_t size = mode == MODE_CHUNKS ? (size_t)strtoul(arg, NULL, 10) : 0;
  if (!mpread_init(error)) return 0;
  MpreadPart part = {0};
  int r;
  while ((r = mpread_get_next_part(&part, error)) != 0) {
    if (r < 0) {
      t->refused++;
      g_clear_error(error);
      continue;
    }
    t->parts++;
    gboolean ok = TRUE;
    if (mode == MODE_WRITE) {
      ok = mpread_write_part_to_file(out_fd, error);
    } else if (mode == MODE_FILES) {
      ok = take_part_into_file(arg, t->parts, error);
    } else {
      size_t len = 0;
      while ((r = mpread_get_part_buffer(buf, size, &len, error)) == 1 &&
             len > 0)
        t->bytes += len;
      ok = r >= 0;
    }
    mpread_release_part(&part);
    if (!ok) break;
  }
  mpread_release();
  return error == NULL || *error == NULL;
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: driver write PATH | files DIR | chunks SIZE\n");
    return 2;
  }
  enum mode mode;
  int out_fd = -1;
  if (strcmp(argv[1], "write") == 0) {
    mode = MODE_WRITE;
    out_fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out_fd < 0) {
      fprintf(stderr, "driver: %s: %s\n", argv[2], strerror(errno));
      return 1;
    }
  } else if (strcmp(argv[1], "files") == 0) {
    mode = MODE_FILES;
  } else if (strcmp(argv[1], "chunks") == 0) {
    mode = MODE_CHUNKS;
    size_t size = (size_t)strtoul(argv[2], NULL, 10);
    if (size == 0 || size > (1 << 20)) {
      fprintf(stderr, "driver: chunk size must be 1 to 1048576\n");
      return 2;
    }
  } else {
    fprintf(stderr, "driver: unknown mode %s\n", argv[1]);
    return 2;
  }

  GError *error = NULL;
  struct totals t = {0, 0, 0};
  int ok = read_form(mode, argv[2], out_fd, &t, &error);
  if (out_fd >= 0) close(out_fd);
  if (!ok) {
    fprintf(stderr, "driver: %s\n", error ? error->message : "failed");
    g_clear_error(&error);
    return 1;
  }
  printf("parts %lu bytes %llu refused %lu\n", t.parts, t.bytes, t.refused);
  return 0;
}
