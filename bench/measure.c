/* Runs one program as a CGI process and reports what it cost:
 *
 *   measure BODY OUT -- PROGRAM ARGS...
 *
 * The program gets BODY on descriptor 0 and OUT on descriptor 1 (its
 * report); measure prints "wall_ns user_us sys_us maxrss_kib status".
 *
 * Why a process of its own: Linux folds the memory high-water mark of the
 * process image that calls exec into the new program's peak RSS, so a
 * program started straight from the (larger) benchmark would report the
 * benchmark's size instead of its own. */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static long long usec(struct timeval tv) {
  return (long long)tv.tv_sec * 1000000LL + tv.tv_usec;
}

int main(int argc, char **argv) {
  if (argc < 5 || strcmp(argv[3], "--") != 0) {
    fprintf(stderr, "usage: measure BODY OUT -- PROGRAM ARGS...\n");
    return 2;
  }
  int in = open(argv[1], O_RDONLY);
  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) {
    fprintf(stderr, "measure: %s\n", strerror(errno));
    return 1;
  }
  long long start = now_ns();
  pid_t pid = fork();
  if (pid < 0) {
    fprintf(stderr, "measure: fork: %s\n", strerror(errno));
    return 1;
  }
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    close(in);
    close(out);
    execv(argv[4], argv + 4);
    fprintf(stderr, "measure: %s: %s\n", argv[4], strerror(errno));
    _exit(127);
  }
  int status = 0;
  struct rusage ru;
  while (wait4(pid, &status, 0, &ru) < 0)
    if (errno != EINTR) {
      fprintf(stderr, "measure: wait4: %s\n", strerror(errno));
      return 1;
    }
  long long wall = now_ns() - start;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%lld %lld %lld %ld %d\n", wall, usec(ru.ru_utime), usec(ru.ru_stime),
         ru.ru_maxrss, code);
  return 0;
}
