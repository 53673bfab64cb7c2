/* Time limits and signals. */
#define _GNU_SOURCE
#include "signals.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* Everything the handlers read; the rule that guards it is in signals.h. */
static struct {
  /* A server that loses its client ends the CGI program with SIGTERM, and
   * what was written so far must not stay behind. An O_TMPFILE file has no
   * name to remove. */
  volatile sig_atomic_t partial_set;
  int partial_dir_fd;
  char partial_name[NAME_MAX + 1];
  /* The library retries reads that a signal interrupts, so the program
   * ends on the timer itself, writing the answer kept ready. */
  volatile sig_atomic_t body_activity; /* body bytes since the last tick */
  struct timespec started, last_activity;
  guint64 idle_ms, total_ms;
  const TimerAnswer *answer; /* NULL while there is no time limit */
} seen = {.partial_dir_fd = -1};

void signals_block(sigset_t *saved) {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, saved);
}

void signals_restore(const sigset_t *saved) {
  sigprocmask(SIG_SETMASK, saved, NULL);
}

void partial_track(int dir_fd, const char *name) {
  g_strlcpy(seen.partial_name, name, sizeof seen.partial_name);
  seen.partial_dir_fd = dir_fd;
  seen.partial_set = 1;
}

void partial_forget(void) { seen.partial_set = 0; }

void note_progress(void) { seen.body_activity = 1; }

gboolean write_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FALSE;
    data += n;
    len -= (size_t)n;
  }
  return TRUE;
}

static void remove_partial(void) {
  if (seen.partial_set) unlinkat(seen.partial_dir_fd, seen.partial_name, 0);
}

static void remove_partial_and_die(int sig) {
  remove_partial();
  signal(sig, SIG_DFL);
  raise(sig);
}

static gboolean write_text(int fd, const char *text) {
  return write_all(fd, text, strlen(text));
}

static void time_out(TimeoutKind kind) {
  const TimerAnswer *a = seen.answer;
  remove_partial();
  if (a->log[kind] != NULL) write_text(2, a->log[kind]);
  if (write_text(1, a->opening[kind]) &&
      write_all(1, a->fields->str, a->fields->len) &&
      write_text(1, a->between) &&
      write_all(1, a->files->str, a->files->len))
    write_text(1, a->closing);
  _exit(1);
}

static guint64 ms_between(const struct timespec *from,
                          const struct timespec *to) {
  gint64 ms = ((gint64)to->tv_sec - (gint64)from->tv_sec) * 1000 +
              ((gint64)to->tv_nsec - (gint64)from->tv_nsec) / 1000000;
  return ms > 0 ? (guint64)ms : 0;
}

guint64 ms_since_start(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return ms_between(&seen.started, &now);
}

static void on_tick(int sig) {
  (void)sig;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (seen.body_activity) {
    seen.body_activity = 0;
    seen.last_activity = now;
  }
  if (seen.total_ms != 0 && ms_between(&seen.started, &now) >= seen.total_ms)
    time_out(TIMEOUT_TOTAL);
  if (seen.idle_ms != 0 &&
      ms_between(&seen.last_activity, &now) >= seen.idle_ms)
    time_out(TIMEOUT_IDLE);
}

/* Standard input is set to raise SIGIO whenever the server passes on body
 * bytes: the reader fills whole chunks, so a slow but steady client would
 * otherwise look idle. */
static void on_input(int sig) {
  (void)sig;
  seen.body_activity = 1;
}

void signals_install(void) {
  static const int fatal[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGXCPU};
  clock_gettime(CLOCK_MONOTONIC, &seen.started);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = remove_partial_and_die;
  sigfillset(&sa.sa_mask);
  for (size_t i = 0; i < G_N_ELEMENTS(fatal); i++)
    sigaction(fatal[i], &sa, NULL);
  /* A server that hung up gets no answer; the write fails instead. */
  signal(SIGPIPE, SIG_IGN);
  /* Past a file-size limit (ulimit -f) write() then fails with EFBIG and the
   * normal failure path removes the file and answers. */
  signal(SIGXFSZ, SIG_IGN);
}

/* A tick checks the limits: often enough that a timeout comes at most an
 * eighth of the limit late, rarely enough to cost nothing. */
void timers_start(guint64 idle_seconds, guint64 total_seconds,
                  const TimerAnswer *answer) {
  if (answer == NULL || (idle_seconds == 0 && total_seconds == 0)) return;
  seen.idle_ms = idle_seconds * 1000;
  seen.total_ms = total_seconds * 1000;
  seen.answer = answer;
  clock_gettime(CLOCK_MONOTONIC, &seen.last_activity);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sigfillset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = on_input;
  sigaction(SIGIO, &sa, NULL);
  sa.sa_handler = on_tick;
  sigaction(SIGALRM, &sa, NULL);
  /* Pipes and sockets support this; where standard input does not (a file),
   * reads do not wait anyway. */
  int flags = fcntl(0, F_GETFL);
  if (flags >= 0 && fcntl(0, F_SETOWN, getpid()) == 0)
    fcntl(0, F_SETFL, flags | O_ASYNC);

  guint64 shortest = seen.idle_ms == 0    ? seen.total_ms
                     : seen.total_ms == 0 ? seen.idle_ms
                                          : MIN(seen.idle_ms, seen.total_ms);
  guint64 tick_ms = CLAMP(shortest / 8, 50, 1000);
  struct itimerval tick = {
      .it_interval = {.tv_sec = (time_t)(tick_ms / 1000),
                      .tv_usec = (suseconds_t)(tick_ms % 1000 * 1000)},
  };
  tick.it_value = tick.it_interval;
  setitimer(ITIMER_REAL, &tick, NULL);
}

/* A tick still pending is dropped by ignoring it. */
void timers_stop(void) {
  if (seen.answer == NULL) return;
  struct itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, NULL);
  signal(SIGALRM, SIG_IGN);
  signal(SIGIO, SIG_IGN);
  seen.answer = NULL;
}
