/* The answer: its status, the first failure, and the one list of the
 * fields and files stored. The normal answer is rendered from the list at
 * the end; while a time limit runs, the 408 answer the timer would write is
 * kept ready from the same list, each item added as it is stored. Both are
 * JSON text of json.c's making. */
#ifndef MPREAD_UPLOAD_ANSWER_H
#define MPREAD_UPLOAD_ANSWER_H

#include <glib.h>

#include "signals.h"

typedef enum {
  STATUS_OK = 200,
  STATUS_BAD_REQUEST = 400,
  STATUS_METHOD_NOT_ALLOWED = 405,
  STATUS_TIMEOUT = 408,
  STATUS_LENGTH_REQUIRED = 411,
  STATUS_TOO_LARGE = 413,
  STATUS_SERVER_ERROR = 500
} Status;

/* A file under its final name, as the answer lists it. */
typedef struct {
  char *field;
  char *stored_name;
  char *file_name;
  char *mime_type; /* NULL when the part had none */
  guint64 size;
  char *sha256;
} StoredFile;

void stored_file_free(StoredFile *file);

/* A text field, as the answer lists it. */
typedef struct {
  char *name;
  char *value;
} StoredField;

typedef struct Answer Answer;

Answer *answer_new(void);
void answer_free(Answer *answer);

/* Failing. Each records the first failure only (later ones are mostly its
 * consequences) and returns FALSE, so that a step reads
 * `return fail(...)`. No helper of the program fails with another value
 * but store_file(), whose TRUE after a file it could not name lets the walk
 * go on. */
gboolean fail(Answer *answer, Status status, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);
/* A 413, naming the setting exceeded and its value. */
gboolean fail_limit(Answer *answer, const char *setting, guint64 limit,
                    const char *fmt, ...) G_GNUC_PRINTF(4, 5);
/* Takes over an error of the reader; `fallback` when it gave none. */
gboolean fail_with(Answer *answer, Status status, GError *error,
                   const char *fallback);

gboolean answer_ok(const Answer *answer);
guint answer_file_count(const Answer *answer);

/* Adds to the list, taking the strings, or the file. */
void answer_add_field(Answer *answer, char *name, char *value);
void answer_add_file(Answer *answer, StoredFile *file);

/* From here on keeps the 408 answer ready for each time limit (in seconds,
 * 0 for none), for timers_start(); NULL when there is no limit. Called
 * before anything is stored. */
const TimerAnswer *answer_keep_ready(Answer *answer, gboolean cgi,
                                     guint64 idle_seconds,
                                     guint64 total_seconds);

/* Under a web server a failure goes to the server's error log: the line
 * for it, on standard error; nothing for a 200. */
void answer_log(const Answer *answer);

/* The answer as sent: under a web server CGI headers and JSON on one line;
 * from a shell the JSON alone, one item a line. */
GString *answer_render(const Answer *answer, gboolean cgi);

#endif
