/* The answer: status, CGI headers and JSON, from one list. */
#include "answer.h"

#include <stdarg.h>
#include <string.h>

#include "json.h"

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

/* "key":[...]; from a shell one item a line. */
static void list_json(GString *out, const char *key, const GPtrArray *items,
                      ItemJson item_json, gboolean pretty) {
  g_string_append_printf(out, pretty ? "  \"%s\": [" : "\"%s\":[", key);
  for (guint i = 0; i < items->len; i++) {
    if (i > 0) g_string_append_c(out, ',');
    if (pretty) g_string_append(out, "\n    ");
    item_json(out, g_ptr_array_index(items, i));
  }
  g_string_append(out, pretty && items->len > 0 ? "\n  ]" : "]");
}

/* {"error": ..., "fields": [...], "files": [...]}, the error only on a
 * failure. */
static void answer_json(GString *out, const Answer *answer, gboolean pretty) {
  const char *next = pretty ? ",\n" : ",";
  g_string_append(out, pretty ? "{\n" : "{");
  if (answer->status != STATUS_OK) {
    g_string_append(out, pretty ? "  \"error\": " : "\"error\":");
    error_json(out, answer->status, answer->error, answer->limit_setting,
               answer->limit);
    g_string_append(out, next);
  }
  list_json(out, "fields", answer->fields, field_json, pretty);
  g_string_append(out, next);
  list_json(out, "files", answer->files, file_json, pretty);
  g_string_append(out, pretty ? "\n}\n" : "}\n");
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

static void append_cgi_headers(GString *out, Status status) {
  g_string_append_printf(
      out,
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

void answer_log(const Answer *answer) {
  if (answer->status == STATUS_OK) return;
  char *line = log_line(answer->status, answer->error);
  write_all(2, line, strlen(line));
  g_free(line);
}

GString *answer_render(const Answer *answer, gboolean cgi) {
  GString *out = g_string_new(NULL);
  if (cgi) append_cgi_headers(out, answer->status);
  answer_json(out, answer, !cgi);
  return out;
}

/* --- The 408 answer kept ready -------------------------------------------- */

/* The answer's items on one line each: the timer's answer is not indented. */
static void keep_item_ready(GString *list, gconstpointer item,
                            ItemJson item_json) {
  GString *json = g_string_new(NULL);
  item_json(json, item);
  sigset_t saved;
  signals_block(&saved);
  if (list->len > 0) g_string_append_c(list, ',');
  g_string_append_len(list, json->str, (gssize)json->len);
  signals_restore(&saved);
  g_string_free(json, TRUE);
}

void answer_add_field(Answer *answer, char *name, char *value) {
  StoredField *field = g_new(StoredField, 1);
  field->name = name;
  field->value = value;
  g_ptr_array_add(answer->fields, field);
  if (answer->ready != NULL)
    keep_item_ready(answer->ready->fields, field, field_json);
}

void answer_add_file(Answer *answer, StoredFile *file) {
  g_ptr_array_add(answer->files, file);
  if (answer->ready != NULL)
    keep_item_ready(answer->ready->files, file, file_json);
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
  GString *opening = g_string_new(NULL);
  if (cgi) append_cgi_headers(opening, STATUS_TIMEOUT);
  g_string_append(opening, "{\"error\":");
  error_json(opening, STATUS_TIMEOUT, error, setting, seconds);
  g_string_append(opening, ",\"fields\":[");
  ready->opening[kind] = g_string_free(opening, FALSE);
  ready->log[kind] = cgi ? log_line(STATUS_TIMEOUT, error) : NULL;
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
