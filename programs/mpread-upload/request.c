/* The request: method, length and boundary. */
#include "request.h"

#include <string.h>

#include <reqinfo.h>

/* The reader refuses these too, but a server and its client understand 405
 * (with Allow) and 411 better than a 400. busybox httpd passes a chunked
 * body on without a length. */
static gboolean check_request_line(Answer *answer) {
  const char *method = g_getenv("REQUEST_METHOD");
  if (method == NULL)
    return fail(
        answer, STATUS_METHOD_NOT_ALLOWED,
        "No request method (REQUEST_METHOD is not set): only POST is taken");
  if (strcmp(method, "POST") != 0)
    return fail(answer, STATUS_METHOD_NOT_ALLOWED,
                "Request method %s is not allowed: only POST is taken", method);
  const char *length = g_getenv("CONTENT_LENGTH");
  if (length == NULL || *length == '\0')
    return fail(
        answer, STATUS_LENGTH_REQUIRED,
        "The request has no Content-Length: send the body with a length, "
        "not in chunks");
  return TRUE;
}

/* The declared length; FALSE when there is none the reader would take. */
static gboolean declared_length(guint64 *length) {
  const char *text = g_getenv("CONTENT_LENGTH");
  return text != NULL &&
         g_ascii_string_to_unsigned(text, 10, 0, G_MAXUINT64, length, NULL);
}

/* Refuses an oversized request before a byte is stored. A length the reader
 * would refuse anyway is left to it, so its message is the one answered. */
static gboolean check_request_size(Answer *answer, guint64 max_bytes) {
  guint64 length;
  if (max_bytes == 0 || !declared_length(&length)) return TRUE;
  if (length > max_bytes)
    return fail_limit(answer, "MPREAD_UPLOAD_MAX_BYTES", max_bytes,
                      "Request body of %" G_GUINT64_FORMAT
                      " bytes exceeds the limit of %" G_GUINT64_FORMAT,
                      length, max_bytes);
  return TRUE;
}

gboolean request_check(Answer *answer, guint64 max_bytes) {
  return check_request_line(answer) && check_request_size(answer, max_bytes);
}

/* The boundary as the reader takes it: the same component parses it. */
static char *boundary(void) {
  ReqinfoHeader type = {0};
  char *value = NULL;
  if (reqinfo_get_content_type(&type, NULL))
    value = g_strdup(reqinfo_get_header_param_value(&type, "boundary"));
  reqinfo_release_header(&type);
  return value;
}

char *request_end_marker(void) {
  char *b = boundary();
  char *marker = b != NULL ? g_strconcat("\r\n--", b, NULL) : NULL;
  g_free(b);
  return marker;
}

gboolean request_longer_than_empty_form(void) {
  char *b = boundary();
  guint64 length;
  gboolean longer = b != NULL && declared_length(&length) &&
                    length > strlen(b) + strlen("----\r\n");
  g_free(b);
  return longer;
}
