/* The settings: from the environment, each with its default. For every
 * limit, 0 means none; for drain_bytes, no drain. */
#ifndef MPREAD_UPLOAD_SETTINGS_H
#define MPREAD_UPLOAD_SETTINGS_H

#include <glib.h>

#include "answer.h"

typedef struct {
  gboolean cgi;            /* run by a web server: GATEWAY_INTERFACE is set */
  const char *upload_dir;  /* from a shell "uploads" when unset; under a web
                            * server as set, which the folder checks */
  guint64 max_bytes;       /* the largest request body taken */
  guint64 max_field_bytes; /* text fields' names and values together */
  guint64 max_files;       /* files in one request */
  guint64 max_parts;       /* parts of any kind in one request */
  guint64 idle_seconds;    /* the longest wait for the next body byte */
  guint64 total_seconds;   /* the longest time for the whole request */
  guint64 drain_bytes;     /* the most of the body read after an early answer,
                            * so that the server delivers it; 0: none */
} Settings;

/* Sets `cgi` first, whatever follows; FALSE (a 500) for a setting that is
 * no whole number. */
gboolean settings_read(Settings *settings, Answer *answer);

/* What --help prints: how to run the program, the settings and defaults. */
extern const char settings_usage[];

#endif
