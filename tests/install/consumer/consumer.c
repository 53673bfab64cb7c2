/* Names the first part of the request, through the installed package. */
#include <intake.h> /* the reader's include path reaches it */
#include <mpread.h>
#include <stdio.h>

int main(void) {
  GError *error = NULL;
  MpreadPart part = {0};
  if (!mpread_init(&error)) {
    fprintf(stderr, "%s\n", error != NULL ? error->message : "no request");
    g_clear_error(&error);
    return 1;
  }
  int r = mpread_get_next_part(&part, &error);
  if (r == 1) printf("first part: %s\n", part.name);
  mpread_release_part(&part);
  g_clear_error(&error);
  mpread_release();
  return r == 1 ? 0 : 1;
}
