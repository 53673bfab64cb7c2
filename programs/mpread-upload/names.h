/* Stored names: a client's file name made safe to list and never taken
 * for an option or a hidden file, and the variants of a name already
 * taken. A stored name may still hold blanks, quotes and other characters
 * a shell reads: quote it. */
#ifndef MPREAD_UPLOAD_NAMES_H
#define MPREAD_UPLOAD_NAMES_H

#include <glib.h>

/* The highest number a variant gets ("name-9999.ext"). */
enum { MAX_VARIANTS = 9999 };

/* The stored form of the name the reader gave (any directory part
 * removed): never hidden, never an option, at most 200 bytes, "upload"
 * when nothing is left. */
char *safe_file_name(const char *client_name);

/* Where the numbering of each name stands, for one request. */
typedef GHashTable NameNumbers;
NameNumbers *name_numbers_new(void);
void name_numbers_free(NameNumbers *numbers);

/* Gives a file a name with `try_name`: 0 when it took the name, else an
 * errno value, EEXIST when the name is taken and the next variant is
 * tried: name, name-1, ..., name-9999, then name-<16 random hex digits>,
 * each within 200 bytes. Returns the name given; or NULL with *err the
 * error of try_name (EEXIST only if every random suffix was taken too). */
typedef int (*TryName)(const char *candidate, void *data);
char *give_free_name(NameNumbers *numbers, const char *name, TryName try_name,
                     void *data, int *err);

#endif
