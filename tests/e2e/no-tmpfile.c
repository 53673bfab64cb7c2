/* Preloaded into mpread-upload to make its upload folder look like a file
 * system without O_TMPFILE (as some are), so that its fallback runs: hidden
 * temporary names, renamed without replacing. With MPREAD_TEST_NO_RENAMEAT2
 * set, RENAME_NOREPLACE is refused too, and link + unlink is used. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

typedef int (*OpenAt)(int, const char *, int, ...);

static int open_at(const char *symbol, int dir_fd, const char *path, int flags,
                   va_list ap) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
    mode = (mode_t)va_arg(ap, int);
  if ((flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  OpenAt real = (OpenAt)dlsym(RTLD_NEXT, symbol);
  return real(dir_fd, path, flags, mode);
}

int openat(int dir_fd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = open_at("openat", dir_fd, path, flags, ap);
  va_end(ap);
  return fd;
}

int openat64(int dir_fd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = open_at("openat64", dir_fd, path, flags, ap);
  va_end(ap);
  return fd;
}

int renameat2(int old_dir, const char *old_path, int new_dir,
              const char *new_path, unsigned flags) {
  if (getenv("MPREAD_TEST_NO_RENAMEAT2") != NULL) {
    errno = EINVAL;
    return -1;
  }
  int (*real)(int, const char *, int, const char *, unsigned) =
      (int (*)(int, const char *, int, const char *, unsigned))dlsym(
          RTLD_NEXT, "renameat2");
  return real(old_dir, old_path, new_dir, new_path, flags);
}
