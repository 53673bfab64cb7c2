/* Storing a file: unnamed file, writing, naming it when complete, removing
 * it on failure.
 *
 * A file is written without a name (O_TMPFILE) and named only once it is
 * complete, so no one ever sees a half-written upload under a final name,
 * and a handler killed outright leaves nothing behind. Where the file
 * system refuses O_TMPFILE, a hidden temporary name is used instead and
 * renamed without replacing anything. */
#define _GNU_SOURCE
#include "store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "signals.h"

/* A new file in the upload folder: unnamed, or under a hidden temporary
 * name never replacing or following anything already there (*temp). */
static int create_partial(const UploadFolder *folder, Answer *answer,
                          char **temp) {
  *temp = NULL;
  if (folder->use_tmpfile) {
    int fd = openat(folder->fd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0)
      fail(answer, STATUS_SERVER_ERROR,
           "Cannot create a file in the upload folder: %s", g_strerror(errno));
    return fd;
  }
  for (unsigned n = 0; n <= MAX_VARIANTS; n++) {
    char *candidate = g_strdup_printf(TEMP_PREFIX "%ld-%u", (long)getpid(), n);
    sigset_t saved;
    signals_block(&saved);
    int fd = openat(folder->fd, candidate,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int saved_errno = errno;
    if (fd >= 0) partial_track(folder->fd, candidate);
    signals_restore(&saved);
    if (fd >= 0) {
      *temp = candidate;
      return fd;
    }
    g_free(candidate);
    if (saved_errno != EEXIST) {
      fail(answer, STATUS_SERVER_ERROR,
           "Cannot create a file in the upload folder: %s",
           g_strerror(saved_errno));
      return -1;
    }
  }
  fail(answer, STATUS_SERVER_ERROR,
       "No free temporary name in the upload folder");
  return -1;
}

/* Removes the unfinished file. The signal handler must not remove the name
 * once it is gone (by then it may be another handler's file): unlinking
 * and forgetting happen as one step. */
static void discard_partial(const UploadFolder *folder, const char *temp) {
  if (temp == NULL) return;
  sigset_t saved;
  signals_block(&saved);
  unlinkat(folder->fd, temp, 0);
  partial_forget();
  signals_restore(&saved);
}

/* The file being named: its descriptor and, in the fallback, its hidden
 * temporary name. */
typedef struct {
  const UploadFolder *folder;
  int fd;
  const char *temp;
} Naming;

/* Gives the complete file the final name `name`; 0 or an errno value
 * (EEXIST: the name is taken). linkat() and renameat2() never replace an
 * existing entry, a planted symlink included. */
static int give_name(const char *name, void *data) {
  const Naming *file = data;
  int dir_fd = file->folder->fd;
  if (file->temp == NULL) {
    char path[64];
    proc_fd_path(file->fd, path, sizeof path);
    return linkat(AT_FDCWD, path, dir_fd, name, AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
  }
  sigset_t saved;
  signals_block(&saved);
  int r = renameat2(dir_fd, file->temp, dir_fd, name, RENAME_NOREPLACE);
  if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
    /* No RENAME_NOREPLACE on this file system: a hard link fails on an
     * existing name too. */
    r = linkat(dir_fd, file->temp, dir_fd, name, 0);
    if (r == 0) unlinkat(dir_fd, file->temp, 0);
  }
  int err = r == 0 ? 0 : errno;
  if (r == 0) partial_forget();
  signals_restore(&saved);
  return err;
}

static char *name_file(Naming *file, NameNumbers *numbers, const char *name,
                       const MpreadPart *part, Answer *answer) {
  int err = 0;
  char *given = give_free_name(numbers, name, give_name, file, &err);
  if (given == NULL)
    fail(answer, STATUS_SERVER_ERROR,
         "Cannot name the file %s of field %s in the upload folder: %s; the "
         "form goes on without it",
         name, part->name, g_strerror(err));
  return given;
}

int next_chunk(Answer *answer, const MpreadPart *part, char *buffer,
               size_t *length, const char *inside) {
  GError *error = NULL;
  int r = mpread_get_part_buffer(buffer, CHUNK_SIZE, length, &error);
  note_progress();
  if (r < 0)
    fail_with(answer, STATUS_BAD_REQUEST, error, "Reading the body failed");
  else if (r == 0)
    fail(answer, STATUS_BAD_REQUEST, "Request body ended inside %s %s", inside,
         part->name);
  else
    return *length > 0;
  return -1;
}

/* Streams the part's content into the file, counting and hashing as it
 * goes, so nothing is read back. */
static gboolean copy_content(int fd, const MpreadPart *part, char *buffer,
                             StoredFile *file, Answer *answer) {
  GChecksum *sha = g_checksum_new(G_CHECKSUM_SHA256);
  size_t length = 0;
  int r;
  while ((r = next_chunk(answer, part, buffer, &length,
                         "the file of field")) > 0) {
    if (!write_all(fd, buffer, length)) {
      fail(answer, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
           g_strerror(errno));
      r = -1;
      break;
    }
    g_checksum_update(sha, (const guchar *)buffer, (gssize)length);
    file->size += length;
  }
  if (r == 0) file->sha256 = g_strdup(g_checksum_get_string(sha));
  g_checksum_free(sha);
  return r == 0;
}

/* What a file that is not stored leaves: nothing. */
static void drop_file(const UploadFolder *folder, char *temp,
                      StoredFile *file) {
  discard_partial(folder, temp);
  g_free(temp);
  stored_file_free(file);
}

gboolean store_file(const UploadFolder *folder, NameNumbers *numbers,
                    const MpreadPart *part, char *buffer, Answer *answer) {
  char *temp = NULL;
  int fd = create_partial(folder, answer, &temp);
  if (fd < 0) return FALSE;
  StoredFile *file = g_new0(StoredFile, 1);
  gboolean ok = copy_content(fd, part, buffer, file, answer);
  /* close() is where some file systems report a failed write; an O_TMPFILE
   * file needs its descriptor open until it has a name. */
  if (temp != NULL && close(fd) != 0 && ok)
    ok = fail(answer, STATUS_SERVER_ERROR,
              "Cannot write to the upload folder: %s", g_strerror(errno));
  if (!ok) {
    if (temp == NULL) close(fd);
    drop_file(folder, temp, file);
    return FALSE;
  }
  Naming naming = {folder, fd, temp};
  char *name = safe_file_name(part->filename);
  file->stored_name = name_file(&naming, numbers, name, part, answer);
  g_free(name);
  if (temp == NULL && close(fd) != 0 && file->stored_name != NULL) {
    fail(answer, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
         g_strerror(errno));
    unlinkat(folder->fd, file->stored_name, 0);
    drop_file(folder, temp, file);
    return FALSE;
  }
  if (file->stored_name == NULL) {
    /* The content is read whole: a name that cannot be given costs this
     * file only, and the walk goes on. */
    drop_file(folder, temp, file);
    return TRUE;
  }
  g_free(temp);
  file->field = g_utf8_make_valid(part->name, -1);
  file->file_name = g_utf8_make_valid(part->filename, -1);
  file->mime_type =
      part->mime != NULL ? g_utf8_make_valid(part->mime, -1) : NULL;
  answer_add_file(answer, file);
  return TRUE;
}
