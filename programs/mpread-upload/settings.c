/* The settings: environment, defaults, limits. */
#include "settings.h"

#define DEFAULT_UPLOAD_DIR "uploads"
#define DEFAULT_MAX_BYTES (G_GUINT64_CONSTANT(1) << 30)
#define DEFAULT_MAX_FIELD_BYTES (1024 * 1024)
#define DEFAULT_MAX_FILES 1000
#define DEFAULT_MAX_PARTS 10000
#define DEFAULT_IDLE_SECONDS 30
#define DEFAULT_DRAIN_BYTES (64 * 1024 * 1024)

const char settings_usage[] =
    "usage: mpread-upload\n"
    "Stores the files of a multipart/form-data request and prints a JSON\n"
    "answer. Run as a CGI program, or from a shell:\n"
    "  REQUEST_METHOD=POST CONTENT_LENGTH=$(stat -c %s body) \\\n"
    "  CONTENT_TYPE='multipart/form-data; boundary=...' \\\n"
    "  MPREAD_UPLOAD_DIR=out mpread-upload < body\n"
    "Settings (0: no limit): MPREAD_UPLOAD_DIR (from a shell ./uploads; under\n"
    "a web server required, absolute, outside the web root),\n"
    "MPREAD_UPLOAD_MAX_BYTES (1073741824), MPREAD_UPLOAD_MAX_FIELD_BYTES\n"
    "(1048576), MPREAD_UPLOAD_MAX_FILES (1000), MPREAD_UPLOAD_MAX_PARTS "
    "(10000),\n"
    "MPREAD_UPLOAD_IDLE_SECONDS (30), MPREAD_UPLOAD_MAX_SECONDS (0),\n"
    "MPREAD_UPLOAD_DRAIN_BYTES (67108864; 0: none).\n";

static gboolean read_number(Answer *answer, const char *name,
                            guint64 fallback, guint64 *value) {
  const char *text = g_getenv(name);
  *value = fallback;
  if (text == NULL || *text == '\0') return TRUE;
  /* Seconds are turned into milliseconds: keep them far from overflowing. */
  guint64 max = g_str_has_suffix(name, "_SECONDS") ? G_MAXUINT32 : G_MAXUINT64;
  if (!g_ascii_string_to_unsigned(text, 10, 0, max, value, NULL))
    return fail(answer, STATUS_SERVER_ERROR, "%s is not a whole number: %s",
                name, text);
  return TRUE;
}

gboolean settings_read(Settings *s, Answer *answer) {
  s->cgi = g_getenv("GATEWAY_INTERFACE") != NULL;
  s->upload_dir = g_getenv("MPREAD_UPLOAD_DIR");
  /* Under a web server the working directory is in the web root: there is
   * no default there. */
  if (!s->cgi && (s->upload_dir == NULL || *s->upload_dir == '\0'))
    s->upload_dir = DEFAULT_UPLOAD_DIR;
  /* Every setting gets its value or default, also past one that is wrong:
   * the answer to that is delivered under the others. */
  gboolean ok = TRUE;
  ok &= read_number(answer, "MPREAD_UPLOAD_MAX_BYTES", DEFAULT_MAX_BYTES,
                    &s->max_bytes);
  ok &= read_number(answer, "MPREAD_UPLOAD_MAX_FIELD_BYTES",
                    DEFAULT_MAX_FIELD_BYTES, &s->max_field_bytes);
  ok &= read_number(answer, "MPREAD_UPLOAD_MAX_FILES", DEFAULT_MAX_FILES,
                    &s->max_files);
  ok &= read_number(answer, "MPREAD_UPLOAD_MAX_PARTS", DEFAULT_MAX_PARTS,
                    &s->max_parts);
  ok &= read_number(answer, "MPREAD_UPLOAD_IDLE_SECONDS",
                    DEFAULT_IDLE_SECONDS, &s->idle_seconds);
  ok &= read_number(answer, "MPREAD_UPLOAD_MAX_SECONDS", 0,
                    &s->total_seconds);
  ok &= read_number(answer, "MPREAD_UPLOAD_DRAIN_BYTES", DEFAULT_DRAIN_BYTES,
                    &s->drain_bytes);
  return ok;
}
