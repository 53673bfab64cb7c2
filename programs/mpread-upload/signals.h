/* Time limits and signals: the handlers that end the program on a fatal
 * signal or a time limit, and the one record of what they read.
 *
 * What a signal handler reads is the record in signals.c and, through it,
 * the 408 answer kept ready (TimerAnswer below, kept by the answer unit).
 * The rule that guards both: the main flow changes them only with every
 * signal blocked (signals_block() ... signals_restore()), or while no
 * handler that reads them is installed, so a handler never sees them
 * half-changed. The one exception is the activity flag, a sig_atomic_t
 * that either side sets in one store; the tick alone keeps the time of the
 * last activity. */
#ifndef MPREAD_UPLOAD_SIGNALS_H
#define MPREAD_UPLOAD_SIGNALS_H

#include <signal.h>
#include <stddef.h>

#include <glib.h>

typedef enum { TIMEOUT_IDLE, TIMEOUT_TOTAL, TIMEOUT_KINDS } TimeoutKind;

/* The 408 answer, written by the timer with plain write(2) calls: log[kind]
 * to the server's error log, then to standard output opening[kind], fields,
 * between, files and closing. */
typedef struct {
  char *log[TIMEOUT_KINDS];     /* NULL from a shell */
  char *opening[TIMEOUT_KINDS]; /* CGI headers, the answer up to its fields */
  GString *fields;              /* the fields stored so far */
  const char *between;
  GString *files; /* the files stored so far */
  const char *closing;
} TimerAnswer;

/* The fatal signals remove the file being written; the total time limit
 * counts from here. */
void signals_install(void);

void signals_block(sigset_t *saved);
void signals_restore(const sigset_t *saved);

/* The hidden temporary file being written (the fallback to O_TMPFILE), for
 * the handlers to remove. Both with signals blocked, in one step with the
 * creating, renaming or removing of the file. */
void partial_track(int dir_fd, const char *name);
void partial_forget(void);

/* Starts the ticks that check the limits (in seconds, 0 for none), with
 * the answer the timer writes; nothing when there is no limit. */
void timers_start(guint64 idle_seconds, guint64 total_seconds,
                  const TimerAnswer *answer);
/* Once the body is read the answer is the main flow's alone: after this
 * no timer writes a 408, whatever follows. */
void timers_stop(void);

/* Each chunk taken shows the client is still sending, where standard
 * input cannot raise SIGIO. */
void note_progress(void);

/* Since signals_install(), where the total time limit counts from. */
guint64 ms_since_start(void);

/* Async-signal-safe, as the timer needs; FALSE when a write fails. */
gboolean write_all(int fd, const char *data, size_t len);

#endif
