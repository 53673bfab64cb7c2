/* mpread-upload: a CGI upload handler built on libmpread.
 *
 * Stores every file of a multipart/form-data POST request in an upload
 * folder and answers with a JSON document listing the text fields and the
 * stored files (field, stored name, client file name, mime type, size,
 * SHA-256). Run by a web server as a CGI program, or from a shell with
 * REQUEST_METHOD, CONTENT_TYPE and CONTENT_LENGTH set and a saved request
 * body on standard input. The settings are in settings.c.
 *
 * Answers: 200 when the whole form was read; 400 for a malformed or broken
 * request (with the reader's error message), 405 for a method other than
 * POST, 408 when the client is too slow, 411 without a Content-Length, 413
 * past a limit, 500 when the server side fails (settings, folder, disk). On
 * a failure the file being written is removed; files completed before it
 * stay and are listed.
 *
 * The units: settings.c (environment, defaults), folder.c (the upload
 * folder and its checks), names.c (stored names), store.c (writing and
 * naming a file), signals.c (time limits and signals, and the one record
 * the signal handlers read), answer.c (status, headers, JSON), and this
 * file, which walks the form.
 */
#include <stdio.h>
#include <string.h>

#include <glib.h>
#include <mpread.h>

#include "answer.h"
#include "folder.h"
#include "names.h"
#include "settings.h"
#include "signals.h"
#include "store.h"

/* What the walk over one form carries from part to part. */
typedef struct {
  const Settings *settings;
  const UploadFolder *folder;
  Answer *answer;
  NameNumbers *numbers;
  char *buffer; /* CHUNK_SIZE bytes */
  guint64 parts;
  guint64 field_bytes;
} Walk;

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

/* Refuses an oversized request before a byte is stored. A length the reader
 * would refuse anyway is left to it, so its message is the one answered. */
static gboolean check_request_size(Answer *answer, guint64 max_bytes) {
  const char *text = g_getenv("CONTENT_LENGTH");
  guint64 length;
  if (max_bytes == 0 || text == NULL ||
      !g_ascii_string_to_unsigned(text, 10, 0, G_MAXUINT64, &length, NULL))
    return TRUE;
  if (length > max_bytes)
    return fail_limit(answer, "MPREAD_UPLOAD_MAX_BYTES", max_bytes,
                      "Request body of %" G_GUINT64_FORMAT
                      " bytes exceeds the limit of %" G_GUINT64_FORMAT,
                      length, max_bytes);
  return TRUE;
}

static gboolean fields_too_large(Walk *walk) {
  guint64 max = walk->settings->max_field_bytes;
  return fail_limit(walk->answer, "MPREAD_UPLOAD_MAX_FIELD_BYTES", max,
                    "Text fields exceed %" G_GUINT64_FORMAT " bytes in all",
                    max);
}

/* The fields are held in memory until the answer: they are capped. */
static gboolean field_bytes_exceeded(const Walk *walk) {
  guint64 max = walk->settings->max_field_bytes;
  return max != 0 && walk->field_bytes > max;
}

static gboolean collect_field(Walk *walk, const MpreadPart *part) {
  walk->field_bytes += strlen(part->name);
  if (field_bytes_exceeded(walk)) return fields_too_large(walk);
  GString *value = g_string_new(NULL);
  size_t length = 0;
  int r;
  while ((r = next_chunk(walk->answer, part, walk->buffer, &length,
                         "field")) > 0) {
    walk->field_bytes += length;
    if (field_bytes_exceeded(walk)) {
      fields_too_large(walk);
      r = -1;
      break;
    }
    g_string_append_len(value, walk->buffer, (gssize)length);
  }
  if (r < 0) {
    g_string_free(value, TRUE);
    return FALSE;
  }
  char *text = g_utf8_make_valid(value->str, (gssize)value->len);
  g_string_free(value, TRUE);
  answer_add_field(walk->answer, g_utf8_make_valid(part->name, -1), text);
  return TRUE;
}

static gboolean take_file(Walk *walk, const MpreadPart *part) {
  guint64 max = walk->settings->max_files;
  if (max != 0 && answer_file_count(walk->answer) >= max)
    return fail_limit(walk->answer, "MPREAD_UPLOAD_MAX_FILES", max,
                      "The form has more than %" G_GUINT64_FORMAT " files",
                      max);
  return store_file(walk->folder, walk->numbers, part, walk->buffer,
                    walk->answer);
}

/* A browser sends a file input with no file chosen as a file part with an
 * empty file name and no content; the reader refuses that part alone. */
static gboolean is_empty_file_input(const GError *error) {
  return g_error_matches(error, MPREAD_ERROR, MPREAD_ERROR_INVALID_FILENAME);
}

/* Takes each part in turn until the form ends or a part fails. */
static void walk_parts(Walk *walk) {
  GError *error = NULL;
  MpreadPart part = {0};
  guint64 max_parts = walk->settings->max_parts;
  for (;;) {
    int r = mpread_get_next_part(&part, &error);
    note_progress();
    if (r == 0) break;
    gboolean ok;
    if (max_parts != 0 && ++walk->parts > max_parts) {
      g_clear_error(&error);
      ok = fail_limit(walk->answer, "MPREAD_UPLOAD_MAX_PARTS", max_parts,
                      "The form has more than %" G_GUINT64_FORMAT " parts",
                      max_parts);
    } else if (r < 0) {
      ok = is_empty_file_input(error);
      if (ok)
        g_clear_error(&error);
      else
        fail_with(walk->answer, STATUS_BAD_REQUEST, error,
                  "Reading a part failed");
      error = NULL;
    } else if (part.filename != NULL) {
      ok = take_file(walk, &part);
    } else {
      ok = collect_field(walk, &part);
    }
    mpread_release_part(&part);
    if (!ok) break;
  }
}

static void read_form(const Settings *settings, const UploadFolder *folder,
                      Answer *answer) {
  GError *error = NULL;
  if (!mpread_init(&error)) {
    fail_with(answer, STATUS_BAD_REQUEST, error, "The request has no body");
    return;
  }
  Walk walk = {
      .settings = settings,
      .folder = folder,
      .answer = answer,
      .numbers = name_numbers_new(),
      .buffer = g_malloc(CHUNK_SIZE),
  };
  walk_parts(&walk);
  g_free(walk.buffer);
  name_numbers_free(walk.numbers);
  mpread_release();
}

int main(int argc, char **argv) {
  /* Under CGI, a query without '=' may arrive as arguments: ignore them. */
  if (argc > 1 && g_getenv("GATEWAY_INTERFACE") == NULL) {
    gboolean help =
        strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    fputs(settings_usage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  signals_install();
  Answer *answer = answer_new();
  Settings settings = {0};
  UploadFolder folder = {.fd = -1};
  if (settings_read(&settings, answer) && check_request_line(answer) &&
      check_request_size(answer, settings.max_bytes) &&
      folder_open(&folder, &settings, answer)) {
    timers_start(settings.idle_seconds, settings.total_seconds,
                 answer_keep_ready(answer, settings.cgi, settings.idle_seconds,
                                   settings.total_seconds));
    read_form(&settings, &folder, answer);
    timers_stop();
  }
  answer_send(answer, settings.cgi);
  int exit_status = answer_ok(answer) ? 0 : 1;
  folder_close(&folder);
  answer_free(answer);
  return exit_status;
}
