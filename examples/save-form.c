/* save-form: a CGI program that saves the files of an uploaded form into
 * the folder named by its argument and answers with what it did.
 *   cc -std=c99 save-form.c $(pkg-config --cflags --libs mpread) */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <mpread.h>

/* The library strips every directory part, so the name cannot leave the
 * folder. It is still the client's choice: it may be empty, and an existing
 * file, or a link planted there, must never be overwritten or followed. */
static int save_part(int folder, const MpreadPart *part)
{
  GError *error = NULL;
  int fd, ok;

  if (part->filename[0] == '\0') {
    printf("%s: no file name, not saved\n", part->name);
    return 0;
  }
  fd = openat(folder, part->filename,
              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) {
    printf("%s: %s, not saved\n", part->filename, strerror(errno));
    return 0;
  }
  ok = mpread_write_part_to_file(fd, &error);
  /* close() reports what a write-back found: the file is not whole. */
  if (close(fd) != 0 && ok) {
    printf("%s: %s, not saved\n", part->filename, strerror(errno));
    unlinkat(folder, part->filename, 0);
    return 0;
  }
  if (!ok) {
    printf("%s: %s, not saved\n", part->filename, error->message);
    g_clear_error(&error);
    unlinkat(folder, part->filename, 0);
    return 0;
  }
  printf("saved %s\n", part->filename);
  return 1;
}

int main(int argc, char **argv)
{
  GError *error = NULL;
  MpreadPart part = {NULL, NULL, NULL};
  int folder, result, refused = 0;

  if (argc != 2 || (folder = open(argv[1], O_RDONLY | O_DIRECTORY)) < 0) {
    fprintf(stderr, "usage: save-form FOLDER (an existing folder)\n");
    return 2;
  }
  if (!mpread_init(&error)) {
    printf("Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\n%s\n",
           error != NULL ? error->message : "Not a form upload");
    g_clear_error(&error);
    return 1;
  }
  printf("Content-Type: text/plain\r\n\r\n");
  /* Go on after -1: one bad part must not drop the rest of the form, and a
   * body that broke off ends the walk with 0 at the next call. */
  while ((result = mpread_get_next_part(&part, &error)) != 0) {
    if (result < 0) {
      /* A file input left empty is sent with an empty file name: no file,
       * nothing to refuse. */
      if (g_error_matches(error, MPREAD_ERROR, MPREAD_ERROR_INVALID_FILENAME)) {
        printf("a file input was left empty\n");
      } else {
        printf("part not read: %s\n", error->message);
        refused++;
      }
      g_clear_error(&error);
      continue;
    }
    /* Parts without a file name are plain fields: their content is
     * skipped by the next mpread_get_next_part(). */
    if (part.filename != NULL && !save_part(folder, &part))
      refused++;
    mpread_release_part(&part);
  }
  mpread_release();
  close(folder);
  return refused > 0;
}
