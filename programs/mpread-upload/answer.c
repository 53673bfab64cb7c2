/* The answer: status, CGI headers and JSON, from one list. */
#include "answer.h"

#include <stdarg.h>
#include <stdio.h>

#include <json-glib/json-glib.h>

typedef struct {
  char *name;
  char *value;
} StoredField;

struct Answer {
  Status status;
  GError *error;             /* why status is not STATUS_OK */
  const char *limit_setting; /* the setting a 413 ran into */
  guint64 limit;
  GPtrArray *fields;  /* StoredField */
  GPtrArray *files;   /* StoredFile */
  TimerAnswer *ready; /* NULL while there is no time limit */
};

void stored_file_free(StoredFile *file) {
  g_free(file->field);
  g_free(file->stored_name);
  g_free(file->file_name);
  g_free(file->mime_type);
  g_free(file->sha256);
  g_free(file);
}

static void stored_field_free(gpointer data) {
  StoredField *field = data;
  g_free(field->name);
  g_free(field->value);
  g_free(field);
}

Answer *answer_new(void) {
  Answer *answer = g_new0(Answer, 1);
  answer->status = STATUS_OK;
  answer->fields = g_ptr_array_new_with_free_func(stored_field_free);
  answer->files =
      g_ptr_array_new_with_free_func((GDestroyNotify)stored_file_free);
  return answer;
}

static void timer_answer_free(TimerAnswer *ready) {
  for (int k = 0; k < TIMEOUT_KINDS; k++) {
    g_free(ready->log[k]);
    g_free(ready->opening[k]);
  }
  g_string_free(ready->fields, TRUE);
  g_string_free(ready->files, TRUE);
  g_free(ready);
}

void answer_free(Answer *answer) {
  g_clear_error(&answer->error);
  g_ptr_array_unref(answer->fields);
  g_ptr_array_unref(answer->files);
  if (answer->ready != NULL) timer_answer_free(answer->ready);
  g_free(answer);
}

static GQuark handler_error_quark(void) {
  return g_quark_from_static_string("mpread-upload");
}

static void record(Answer *answer, Status status, const char *setting,
                   guint64 limit, const char *fmt, va_list ap)
    G_GNUC_PRINTF(5, 0);

static void record(Answer *answer, Status status, const char *setting,
                   guint64 limit, const char *fmt, va_list ap) {
  if (answer->status != STATUS_OK) return;
  answer->error =
      g_error_new_valist(handler_error_quark(), (gint)status, fmt, ap);
  answer->status = status;
  answer->limit_setting = setting;
  answer->limit = limit;
}

gboolean fail(Answer *answer, Status status, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  record(answer, status, NULL, 0, fmt, ap);
  va_end(ap);
  return FALSE;
}

gboolean fail_limit(Answer *answer, const char *setting, guint64 limit,
                    const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  record(answer, STATUS_TOO_LARGE, setting, limit, fmt, ap);
  va_end(ap);
  return FALSE;
}

gboolean fail_with(Answer *answer, Status status, GError *error,
                   const char *fallback) {
  if (error == NULL) return fail(answer, status, "%s", fallback);
  if (answer->status == STATUS_OK) {
    answer->status = status;
    answer->error = error;
  } else {
    g_error_free(error);
  }
  return FALSE;
}

gboolean answer_ok(const Answer *answer) {
  return answer->status == STATUS_OK;
}

guint answer_file_count(const Answer *answer) { return answer->files->len; }

/* --- JSON ----------------------------------------------------------------- */

static JsonNode *object_node(JsonObject *object) {
  JsonNode *node = json_node_init_object(json_node_alloc(), object);
  json_object_unref(object);
  return node;
}

static JsonNode *field_node(const StoredField *f) {
  JsonObject *o = json_object_new();
  json_object_set_string_member(o, "name", f->name);
  json_object_set_string_member(o, "value", f->value);
  return object_node(o);
}

static JsonNode *file_node(const StoredFile *f) {
  JsonObject *o = json_object_new();
  json_object_set_string_member(o, "field", f->field);
  json_object_set_string_member(o, "stored_name", f->stored_name);
  json_object_set_string_member(o, "file_name", f->file_name);
  if (f->mime_type != NULL)
    json_object_set_string_member(o, "mime_type", f->mime_type);
  else
    json_object_set_null_member(o, "mime_type");
  json_object_set_int_member(o, "size", (gint64)f->size);
  json_object_set_string_member(o, "sha256", f->sha256);
  return object_node(o);
}

static JsonNode *error_node(Status status, const GError *error,
                            const char *limit_setting, guint64 limit) {
  JsonObject *o = json_object_new();
  json_object_set_int_member(o, "status", status);
  json_object_set_string_member(o, "domain", g_quark_to_string(error->domain));
  json_object_set_int_member(o, "code", error->code);
  char *message = g_utf8_make_valid(error->message, -1);
  json_object_set_string_member(o, "message", message);
  g_free(message);
  if (limit_setting != NULL) {
    json_object_set_string_member(o, "setting", limit_setting);
    json_object_set_int_member(o, "limit", (gint64)limit);
  }
  return object_node(o);
}

/* {"error": ..., "fields": [...], "files": [...]}, the error only on a
 * failure. */
static JsonNode *build_answer(const Answer *answer) {
  JsonObject *o = json_object_new();
  if (answer->status != STATUS_OK)
    json_object_set_member(o, "error",
                           error_node(answer->status, answer->error,
                                      answer->limit_setting, answer->limit));
  JsonArray *fields = json_array_sized_new(answer->fields->len);
  for (guint i = 0; i < answer->fields->len; i++)
    json_array_add_element(fields,
                           field_node(g_ptr_array_index(answer->fields, i)));
  json_object_set_array_member(o, "fields", fields);
  JsonArray *files = json_array_sized_new(answer->files->len);
  for (guint i = 0; i < answer->files->len; i++)
    json_array_add_element(files,
                           file_node(g_ptr_array_index(answer->files, i)));
  json_object_set_array_member(o, "files", files);
  return object_node(o);
}

/* --- CGI headers ---------------------------------------------------------- */

static const char *reason_phrase(Status status) {
  switch (status) {
    case STATUS_OK: return "OK";
    case STATUS_BAD_REQUEST: return "Bad Request";
    case STATUS_METHOD_NOT_ALLOWED: return "Method Not Allowed";
    case STATUS_TIMEOUT: return "Request Timeout";
    case STATUS_LENGTH_REQUIRED: return "Length Required";
    case STATUS_TOO_LARGE: return "Content Too Large";
    case STATUS_SERVER_ERROR: return "Internal Server Error";
  }
  return "Error";
}

static char *cgi_headers(Status status) {
  return g_strdup_printf(
      "Status: %d %s\r\n"
      "%s"
      "Content-Type: application/json; charset=utf-8\r\n"
      "Cache-Control: no-store\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "\r\n",
      status, reason_phrase(status),
      status == STATUS_METHOD_NOT_ALLOWED ? "Allow: POST\r\n" : "");
}

/* The line the server puts in its error log. */
static char *log_line(Status status, const GError *error) {
  return g_strdup_printf("mpread-upload: %d: %s\n", status, error->message);
}

void answer_send(const Answer *answer, gboolean cgi) {
  JsonNode *root = build_answer(answer);
  JsonGenerator *gen = json_generator_new();
  json_generator_set_root(gen, root);
  json_generator_set_pretty(gen, !cgi);
  gsize length = 0;
  char *json = json_generator_to_data(gen, &length);
  if (cgi && answer->status != STATUS_OK) {
    char *line = log_line(answer->status, answer->error);
    fputs(line, stderr);
    g_free(line);
  }
  if (cgi) {
    char *head = cgi_headers(answer->status);
    fputs(head, stdout);
    g_free(head);
  }
  fwrite(json, 1, length, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  g_free(json);
  g_object_unref(gen);
  json_node_unref(root);
}

/* --- The 408 answer kept ready -------------------------------------------- */

/* The answer's items on one line each: the timer's answer is not indented. */
static void keep_item_ready(GString *list, JsonNode *node) {
  char *json = json_to_string(node, FALSE);
  json_node_unref(node);
  sigset_t saved;
  signals_block(&saved);
  if (list->len > 0) g_string_append_c(list, ',');
  g_string_append(list, json);
  signals_restore(&saved);
  g_free(json);
}

void answer_add_field(Answer *answer, char *name, char *value) {
  StoredField *field = g_new(StoredField, 1);
  field->name = name;
  field->value = value;
  g_ptr_array_add(answer->fields, field);
  if (answer->ready != NULL)
    keep_item_ready(answer->ready->fields, field_node(field));
}

void answer_add_file(Answer *answer, StoredFile *file) {
  g_ptr_array_add(answer->files, file);
  if (answer->ready != NULL)
    keep_item_ready(answer->ready->files, file_node(file));
}

/* The answer's log line, headers and JSON up to the list of fields, for a
 * time limit of `seconds`. */
static void prepare_opening(TimerAnswer *ready, TimeoutKind kind,
                            gboolean cgi, guint64 seconds) {
  GError *error = g_error_new(
      handler_error_quark(), STATUS_TIMEOUT,
      kind == TIMEOUT_IDLE
          ? "No request body byte arrived for %" G_GUINT64_FORMAT " seconds"
          : "The request took longer than %" G_GUINT64_FORMAT " seconds",
      seconds);
  const char *setting = kind == TIMEOUT_IDLE ? "MPREAD_UPLOAD_IDLE_SECONDS"
                                             : "MPREAD_UPLOAD_MAX_SECONDS";
  JsonNode *node = error_node(STATUS_TIMEOUT, error, setting, seconds);
  char *json = json_to_string(node, FALSE);
  char *head = cgi ? cgi_headers(STATUS_TIMEOUT) : g_strdup("");
  ready->opening[kind] =
      g_strconcat(head, "{\"error\":", json, ",\"fields\":[", NULL);
  ready->log[kind] = cgi ? log_line(STATUS_TIMEOUT, error) : NULL;
  g_free(head);
  g_free(json);
  json_node_unref(node);
  g_error_free(error);
}

/* {"error":E,"fields":[F],"files":[G]}: E fixed for each limit, F and G
 * the list rendered so far. */
const TimerAnswer *answer_keep_ready(Answer *answer, gboolean cgi,
                                     guint64 idle_seconds,
                                     guint64 total_seconds) {
  if (idle_seconds == 0 && total_seconds == 0) return NULL;
  TimerAnswer *ready = g_new0(TimerAnswer, 1);
  prepare_opening(ready, TIMEOUT_IDLE, cgi, idle_seconds);
  prepare_opening(ready, TIMEOUT_TOTAL, cgi, total_seconds);
  ready->fields = g_string_new(NULL);
  ready->between = "],\"files\":[";
  ready->files = g_string_new(NULL);
  ready->closing = "]}\n";
  /* Before the timers start: no handler reads it yet. */
  answer->ready = ready;
  return ready;
}
