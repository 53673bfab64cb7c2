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
 * request or a part that cannot be stored (with the reader's error message,
 * naming the part), 405 for a method other than POST, 408 when the client
 * is too slow, 411 without a Content-Length, 413 past a limit, 500 when the
 * server side fails (settings, folder, disk). On a failure the file being
 * written is removed; files completed before it stay and are listed. Every
 * answer is delivered whole, also when it comes before the body is read.
 *
 * The units: settings.c (environment, defaults), request.c (method, length,
 * boundary), folder.c (the upload folder and its checks), names.c (stored
 * names), store.c (writing and naming a file), signals.c (time limits and
 * signals, and the one record the signal handlers read), answer.c (status,
 * the list, headers), json.c (JSON text), deliver.c (writing the answer,
 * draining the body), and this file, which walks the form.
 */
#include <stdio.h>
#include <string.h>

#include <glib.h>
#include <mpread.h>
#include <intake.h>

#include "answer.h"
#include "deliver.h"
#include "folder.h"
#include "names.h"
#include "request.h"
#include "settings.h"
#include "signals.h"
#include "store.h"

/* What the walk over one form carries from part to part. */
typedef struct {
  const Settings *settings;
  const UploadFolder *folder;
  Answer *answer;
  NameNumbers *numbers;
  char *buffer;     /* CHUNK_SIZE bytes */
  char *end_marker; /* what ends a part's content */
  guint64 parts;    /* met so far, refused ones included */
  guint64 field_bytes;
} Walk;

/* What the answer holds of each part besides the files (names, values,
 * mime types) is held in memory until the answer: it is capped, as sent. */
static gboolean count_field_bytes(Walk *walk, size_t bytes) {
  guint64 max = walk->settings->max_field_bytes;
  walk->field_bytes += bytes;
  if (max == 0 || walk->field_bytes <= max) return TRUE;
  return fail_limit(walk->answer, "MPREAD_UPLOAD_MAX_FIELD_BYTES", max,
                    "Field names and values, file names and mime types "
                    "exceed %" G_GUINT64_FORMAT " bytes in all",
                    max);
}

static gboolean collect_field(Walk *walk, const MpreadPart *part) {
  GString *value = g_string_new(NULL);
  size_t length = 0;
  int r;
  while ((r = next_chunk(walk->answer, part, walk->buffer, &length,
                         "field")) > 0) {
    if (!count_field_bytes(walk, length)) {
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

static gboolean take_part(Walk *walk, const MpreadPart *part) {
  size_t text = strlen(part->name) +
                (part->filename ? strlen(part->filename) : 0) +
                (part->mime ? strlen(part->mime) : 0);
  if (!count_field_bytes(walk, text)) return FALSE;
  return part->filename != NULL ? take_file(walk, part)
                                : collect_field(walk, part);
}

/* A browser sends a file input with no file chosen as a file part with an
 * empty file name and no content, which the reader refuses: the body then
 * stands where the part's content would begin, at its end marker. */
static gboolean is_empty_file_input(Walk *walk, const GError *error) {
  size_t n = walk->end_marker ? strlen(walk->end_marker) : 0, got = 0;
  return n > 0 &&
         g_error_matches(error, MPREAD_ERROR, MPREAD_ERROR_INVALID_FILENAME) &&
         intake_peek(walk->buffer, n, &got, NULL) && got == n &&
         memcmp(walk->buffer, walk->end_marker, n) == 0;
}

/* Only an empty file input is skipped. Any other part the reader refuses,
 * a file part with content but an empty or undecodable file name among
 * them, is a 400 naming it: nothing the client sent is dropped unsaid. */
static gboolean refused_part(Walk *walk, GError *error) {
  if (is_empty_file_input(walk, error)) {
    g_error_free(error);
    return TRUE;
  }
  g_prefix_error(&error, "Part %" G_GUINT64_FORMAT " of the form: ",
                 walk->parts);
  return fail_with(walk->answer, STATUS_BAD_REQUEST, error,
                   "Reading a part failed");
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
    walk->parts++;
    if (max_parts != 0 && walk->parts > max_parts) {
      g_clear_error(&error);
      ok = fail_limit(walk->answer, "MPREAD_UPLOAD_MAX_PARTS", max_parts,
                      "The form has more than %" G_GUINT64_FORMAT " parts",
                      max_parts);
    } else if (r < 0) {
      ok = refused_part(walk, error);
      error = NULL;
    } else {
      ok = take_part(walk, &part);
    }
    mpread_release_part(&part);
    if (!ok) break;
  }
  /* Lines ended with a bare LF, say: the reader finds no part in them. */
  if (walk->parts == 0 && answer_ok(walk->answer) &&
      request_longer_than_empty_form())
    fail(walk->answer, STATUS_BAD_REQUEST,
         "No part of the form could be read, though the body holds more "
         "than an empty form: are its lines ended with CR LF?");
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
      .end_marker = request_end_marker(),
  };
  walk_parts(&walk);
  g_free(walk.end_marker);
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
  if (settings_read(&settings, answer) &&
      request_check(answer, settings.max_bytes) &&
      folder_open(&folder, &settings, answer)) {
    timers_start(settings.idle_seconds, settings.total_seconds,
                 answer_keep_ready(answer, settings.cgi, settings.idle_seconds,
                                   settings.total_seconds));
    read_form(&settings, &folder, answer);
    timers_stop();
  }
  if (settings.cgi) answer_log(answer);
  GString *text = answer_render(answer, settings.cgi);
  deliver(text, &settings);
  g_string_free(text, TRUE);
  int exit_status = answer_ok(answer) ? 0 : 1;
  folder_close(&folder);
  answer_free(answer);
  return exit_status;
}
