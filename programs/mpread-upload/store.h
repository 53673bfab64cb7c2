/* Storing a file: written without a name, counted and hashed as it goes,
 * named only once complete, removed on failure. */
#ifndef MPREAD_UPLOAD_STORE_H
#define MPREAD_UPLOAD_STORE_H

#include <stddef.h>

#include <glib.h>
#include <mpread.h>

#include "answer.h"
#include "folder.h"
#include "names.h"

/* The size of the buffer part content is taken in. */
enum { CHUNK_SIZE = 64 * 1024 };

/* The next chunk of the part's content into `buffer`: 1 with *length
 * bytes, 0 at its end, -1 with the failure recorded when the body fails or
 * ends inside the part (`inside` says what it was reading). */
int next_chunk(Answer *answer, const MpreadPart *part, char *buffer,
               size_t *length, const char *inside);

/* Stores the part's content in the folder and adds the file to the
 * answer. FALSE, with the failure recorded and no trace of the file left,
 * when the walk cannot go on (the body or the disk failed). A file that
 * cannot be named is removed and its failure recorded (a 500 naming it),
 * but TRUE: the other files of the form are still stored. */
gboolean store_file(const UploadFolder *folder, NameNumbers *numbers,
                    const MpreadPart *part, char *buffer, Answer *answer);

#endif
