/* The floor of the benchmark: what an upload costs when nothing is parsed.
 * Copies descriptor 0 to PATH through a 4096-byte buffer, the working size
 * the library uses, one read(2) and one write(2) per chunk. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: floor PATH < body\n");
    return 2;
  }
  int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) {
    fprintf(stderr, "floor: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  static char buf[4096];
  for (;;) {
    ssize_t n = read(0, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      fprintf(stderr, "floor: read: %s\n", strerror(errno));
      return 1;
    }
    if (write(out, buf, (size_t)n) != n) {
      fprintf(stderr, "floor: write: %s\n", strerror(errno));
      return 1;
    }
  }
  return close(out) == 0 ? 0 : 1;
}
