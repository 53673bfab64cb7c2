/* Names the first part of the request, through the installed package. */
#include <intake.h> /* the reader's include path reaches it */
#include <mpread.h>
#include <stdio.h>

int main(void) {
  MpreadPart part = {0};
  if (!mpread_init(NULL) || mpread_get_next_part(&part, NULL) != 1) return 1;
  printf("first part: %s\n", part.name);
  mpread_release_part(&part);
  mpread_release();
  return 0;
}
