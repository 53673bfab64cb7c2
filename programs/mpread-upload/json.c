/* JSON text: strings escaped by the handler itself. A JSON library once
 * wrote 0x1F raw inside a string (it escaped 0x01 to 0x1E only), which made
 * an answer holding a client's field value invalid. */
#include "json.h"

void json_string(GString *out, const char *text) {
  char *valid =
      g_utf8_validate(text, -1, NULL) ? NULL : g_utf8_make_valid(text, -1);
  g_string_append_c(out, '"');
  for (const unsigned char *p = (const unsigned char *)(valid ? valid : text);
       *p != '\0'; p++) {
    if (*p == '"' || *p == '\\')
      g_string_append_printf(out, "\\%c", *p);
    else if (*p < 0x20 || *p == 0x7f)
      g_string_append_printf(out, "\\u%04x", *p);
    else
      g_string_append_c(out, (char)*p);
  }
  g_string_append_c(out, '"');
  g_free(valid);
}

void json_member_string(GString *out, const char *key, const char *value) {
  g_string_append_printf(out, "\"%s\":", key);
  if (value != NULL)
    json_string(out, value);
  else
    g_string_append(out, "null");
}

void json_member_number(GString *out, const char *key, guint64 value) {
  g_string_append_printf(out, "\"%s\":%" G_GUINT64_FORMAT, key, value);
}

/* --- The answer's items ------------------------------------------------- */

void field_json(GString *out, gconstpointer item) {
  const StoredField *f = item;
  g_string_append_c(out, '{');
  json_member_string(out, "name", f->name);
  g_string_append_c(out, ',');
  json_member_string(out, "value", f->value);
  g_string_append_c(out, '}');
}

void file_json(GString *out, gconstpointer item) {
  const StoredFile *f = item;
  g_string_append_c(out, '{');
  json_member_string(out, "field", f->field);
  g_string_append_c(out, ',');
  json_member_string(out, "stored_name", f->stored_name);
  g_string_append_c(out, ',');
  json_member_string(out, "file_name", f->file_name);
  g_string_append_c(out, ',');
  json_member_string(out, "mime_type", f->mime_type);
  g_string_append_c(out, ',');
  json_member_number(out, "size", f->size);
  g_string_append_c(out, ',');
  json_member_string(out, "sha256", f->sha256);
  g_string_append_c(out, '}');
}

void error_json(GString *out, Status status, const GError *error,
                const char *limit_setting, guint64 limit) {
  g_string_append_c(out, '{');
  json_member_number(out, "status", (guint64)status);
  g_string_append_c(out, ',');
  json_member_string(out, "domain", g_quark_to_string(error->domain));
  g_string_append_printf(out, ",\"code\":%d,", error->code);
  json_member_string(out, "message", error->message);
  if (limit_setting != NULL) {
    g_string_append_c(out, ',');
    json_member_string(out, "setting", limit_setting);
    g_string_append_c(out, ',');
    json_member_number(out, "limit", limit);
  }
  g_string_append_c(out, '}');
}
