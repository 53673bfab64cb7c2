/* JSON text, written by the handler itself: every string of every answer,
 * the 408 kept ready included, goes through json_string(), so that what a
 * client sent can never make an answer invalid JSON. */
#ifndef MPREAD_UPLOAD_JSON_H
#define MPREAD_UPLOAD_JSON_H

#include <glib.h>

#include "answer.h"

/* Appends text as a JSON string: quotes and backslashes escaped, and every
 * control character (below 0x20, and 0x7F) as \u00XX; bytes that are not
 * UTF-8 become U+FFFD. */
void json_string(GString *out, const char *text);

/* Appends "key": and the value; the key is ours, never the client's. */
void json_member_string(GString *out, const char *key, const char *value);
void json_member_number(GString *out, const char *key, guint64 value);

/* The answer's items, each on one line: a StoredField, a StoredFile, and
 * the error. The item ones fit ItemJson, for lists. */
typedef void (*ItemJson)(GString *out, gconstpointer item);
void field_json(GString *out, gconstpointer field);
void file_json(GString *out, gconstpointer file);
void error_json(GString *out, Status status, const GError *error,
                const char *limit_setting, guint64 limit);

#endif
