/* The request as the CGI variables give it: the checks made before the
 * body is read, and what the boundary says about the body. */
#ifndef MPREAD_UPLOAD_REQUEST_H
#define MPREAD_UPLOAD_REQUEST_H

#include <glib.h>

#include "answer.h"

/* The method (405), a length given (411) and within max_bytes (413, 0: no
 * limit); FALSE with the failure recorded. */
gboolean request_check(Answer *answer, guint64 max_bytes);

/* CR LF and the delimiter: what ends a part's content, as the reader looks
 * for it. NULL when the content type has no boundary (the reader refuses
 * that request first). */
char *request_end_marker(void);

/* Whether the declared body is longer than a form without parts ("--",
 * the boundary, "--" and a line end): a body that is, yet gave no part,
 * was not read as its client meant. */
gboolean request_longer_than_empty_form(void);

#endif
