/* Preloaded into mpread-upload to make its upload folder look like a file
 * system without O_TMPFILE (as some are), so that its fallback runs: hidden
 * temporary names, renamed without replacing. With MPREAD_TEST_NO_RENAMEAT2
 * set, RENAME_NOREPLACE is refused too, and link + unlink is used; the name
 * in MPREAD_TEST_REFUSE_NAME is refused (EACCES). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#define REFUSE_TMPFILE(symbol)                                            \
  int symbol(int dir_fd, const char *path, int flags, ...) {              \
    va_list ap;                                                           \
    va_start(ap, flags);                                                  \
    int tmp = (flags & O_TMPFILE) == O_TMPFILE;                         \
    mode_t mode = (flags & O_CREAT) || tmp ? (mode_t)va_arg(ap, int) : 0; \
    va_end(ap);                                                           \
    if (tmp) {                                                            \
      errno = EOPNOTSUPP;                                                 \
      return -1;                                                          \
    }                                                                     \
    int (*real)(int, const char *, int, ...) = dlsym(RTLD_NEXT, #symbol); \
    return real(dir_fd, path, flags, mode);                               \
  }
REFUSE_TMPFILE(openat)
REFUSE_TMPFILE(openat64)

int renameat2(int old_dir, const char *old_path, int new_dir, const char *new_path,
              unsigned flags) {
  const char *refused = getenv("MPREAD_TEST_REFUSE_NAME");
  int refuse = refused != NULL && strcmp(new_path, refused) == 0 ? EACCES
               : getenv("MPREAD_TEST_NO_RENAMEAT2") != NULL       ? EINVAL
                                                                  : 0;
  if (refuse != 0) {
    errno = refuse;
    return -1;
  }
  int (*real)(int, const char *, int, const char *, unsigned) = dlsym(RTLD_NEXT, "renameat2");
  return real(old_dir, old_path, new_dir, new_path, flags);
}
