/* Stored names: a client's file name made safe to list and to pass to a
 * shell, and numbered variants of a name already taken. */
#ifndef MPREAD_UPLOAD_NAMES_H
#define MPREAD_UPLOAD_NAMES_H

#include <glib.h>

/* The highest number a variant gets ("name-9999.ext"). */
enum { MAX_VARIANTS = 9999 };

/* The stored form of the name the reader gave (any directory part
 * removed): never hidden, never an option, within NAME_MAX, "upload" when
 * nothing is left. */
char *safe_file_name(const char *client_name);

/* Where the numbering of each name stands, for one request. */
typedef GHashTable NameNumbers;
NameNumbers *name_numbers_new(void);
void name_numbers_free(NameNumbers *numbers);

/* Gives a file a name with `try_name`: 0 when it took the name, else an
 * errno value, EEXIST when the name is taken and the next variant is
 * tried. Returns the name given; or NULL with *err the error of try_name,
 * or EEXIST when every variant was taken. */
typedef int (*TryName)(const char *candidate, void *data);
char *give_first_free_name(NameNumbers *numbers, const char *name,
                           TryName try_name, void *data, int *err);

#endif
