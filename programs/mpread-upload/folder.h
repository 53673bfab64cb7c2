/* The upload folder: where it may lie, whose it must be, opening it. */
#ifndef MPREAD_UPLOAD_FOLDER_H
#define MPREAD_UPLOAD_FOLDER_H

#include <stddef.h>

#include <glib.h>

#include "answer.h"
#include "settings.h"

/* Hidden temporary names of the fallback to O_TMPFILE; stored names never
 * start with a dot, so they cannot meet. */
#define TEMP_PREFIX ".mpread-partial-"

typedef struct {
  int fd;               /* -1 until opened */
  gboolean use_tmpfile; /* else hidden temporary names */
} UploadFolder;

/* Checks the folder's place (under a web server), makes it when missing
 * (mode 0700), opens it and checks its owner and rights; FALSE (a 500)
 * when any of that fails, and nothing is stored. */
gboolean folder_open(UploadFolder *folder, const Settings *settings,
                     Answer *answer);
void folder_close(UploadFolder *folder);

/* The path of an open descriptor, through /proc: how an O_TMPFILE file is
 * named with linkat(), and where an opened folder really is. /proc may be
 * missing in a chroot; then the fallbacks are used. */
void proc_fd_path(int fd, char *path, size_t size);

#endif
