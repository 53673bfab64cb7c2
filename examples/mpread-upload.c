/* mpread-upload: a CGI upload handler built on libmpread.
 *
 * Stores every file of a multipart/form-data POST request in an upload
 * folder and answers with a JSON document listing the text fields and the
 * stored files (field, stored name, client file name, mime type, size,
 * SHA-256). Run by a web server as a CGI program, or from a shell with
 * REQUEST_METHOD, CONTENT_TYPE and CONTENT_LENGTH set and a saved request
 * body on standard input.
 *
 * Environment:
 *   MPREAD_UPLOAD_DIR              upload folder (default "uploads" in the
 *                                  working directory; made when missing)
 *   MPREAD_UPLOAD_MAX_BYTES        largest request body taken (default: any)
 *   MPREAD_UPLOAD_MAX_FIELD_BYTES  text fields' names and values together
 *                                  (default 1 MiB)
 *
 * Answers: 200 when the whole form was read; 400 for a malformed or broken
 * request (with the reader's error message), 413 past a limit, 500 when the
 * server side fails (folder, disk). On a failure the file being written is
 * removed; files completed before it stay and are listed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <json-glib/json-glib.h>
#include <mpread.h>

enum { CHUNK_SIZE = 64 * 1024 };
/* Leaves room below NAME_MAX for a "-NNNN" suffix. */
enum { MAX_STORED_NAME = 200, MAX_EXTENSION = 16, MAX_VARIANTS = 9999 };
#define DEFAULT_UPLOAD_DIR "uploads"
#define DEFAULT_MAX_FIELD_BYTES (1024 * 1024)

typedef enum {
  STATUS_OK = 200,
  STATUS_BAD_REQUEST = 400,
  STATUS_TOO_LARGE = 413,
  STATUS_SERVER_ERROR = 500
} Status;

typedef struct {
  char *field;
  char *stored_name;
  char *file_name;
  char *mime_type;
  guint64 size;
  char *sha256;
} StoredFile;

typedef struct {
  int dir_fd;
  guint64 max_field_bytes;
  guint64 field_bytes;
  GPtrArray *fields; /* name, value, name, value, ... */
  GPtrArray *files;  /* StoredFile */
  Status status;
  GError *error; /* why status is not STATUS_OK */
} Upload;

/* The file being written, for the signal handler: a server that loses its
 * client ends the CGI program with SIGTERM, and what was written so far must
 * not stay behind looking complete. */
static volatile sig_atomic_t partial_set = 0;
static int partial_dir_fd = -1;
static char partial_name[NAME_MAX + 1];

static void remove_partial_and_die(int sig) {
  if (partial_set) unlinkat(partial_dir_fd, partial_name, 0);
  signal(sig, SIG_DFL);
  raise(sig);
}

static void install_signal_handlers(void) {
  static const int fatal[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = remove_partial_and_die;
  sigfillset(&sa.sa_mask);
  for (size_t i = 0; i < G_N_ELEMENTS(fatal); i++) sigaction(fatal[i], &sa, NULL);
  /* A server that hung up gets no answer; the write fails instead. */
  signal(SIGPIPE, SIG_IGN);
}

static void block_signals(sigset_t *saved) {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, saved);
}

static void stored_file_free(gpointer data) {
  StoredFile *f = data;
  g_free(f->field);
  g_free(f->stored_name);
  g_free(f->file_name);
  g_free(f->mime_type);
  g_free(f->sha256);
  g_free(f);
}

static GQuark handler_error_quark(void) {
  return g_quark_from_static_string("mpread-upload");
}

static gboolean fail(Upload *up, Status status, const char *fmt, ...)
    G_GNUC_PRINTF(3, 4);

/* Records the first failure only: later ones are consequences. */
static gboolean fail(Upload *up, Status status, const char *fmt, ...) {
  if (up->status == STATUS_OK) {
    va_list ap;
    va_start(ap, fmt);
    up->error = g_error_new_valist(handler_error_quark(), (gint)status, fmt, ap);
    va_end(ap);
    up->status = status;
  }
  return FALSE;
}

/* Takes over an error of the reader; NULL when it failed without one. */
static gboolean fail_with(Upload *up, Status status, GError *error,
                          const char *fallback) {
  if (error == NULL) return fail(up, status, "%s", fallback);
  if (up->status == STATUS_OK) {
    up->status = status;
    up->error = error;
  } else {
    g_error_free(error);
  }
  return FALSE;
}

static gboolean read_size_setting(Upload *up, const char *name, guint64 fallback,
                                  guint64 *value) {
  const char *text = g_getenv(name);
  *value = fallback;
  if (text == NULL || *text == '\0') return TRUE;
  if (!g_ascii_string_to_unsigned(text, 10, 1, G_MAXUINT64, value, NULL))
    return fail(up, STATUS_SERVER_ERROR, "%s is not a positive number: %s", name,
                text);
  return TRUE;
}

static gboolean open_upload_dir(Upload *up) {
  const char *dir = g_getenv("MPREAD_UPLOAD_DIR");
  if (dir == NULL || *dir == '\0') dir = DEFAULT_UPLOAD_DIR;
  if (mkdir(dir, 0700) != 0 && errno != EEXIST)
    return fail(up, STATUS_SERVER_ERROR, "Cannot create the upload folder: %s",
                g_strerror(errno));
  up->dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (up->dir_fd < 0)
    return fail(up, STATUS_SERVER_ERROR, "Cannot open the upload folder: %s",
                g_strerror(errno));
  return TRUE;
}

/* The reader has removed any directory part; what is left is still the
 * client's text. Invalid UTF-8 becomes U+FFFD so the stored name and the
 * JSON agree, and the name is kept from hiding (".htaccess") or exceeding
 * NAME_MAX. Returns "" when nothing usable is left. */
static char *safe_file_name(const char *client_name) {
  char *valid = g_utf8_make_valid(client_name, -1);
  for (char *p = valid; *p != '\0'; p++)
    if (*p == '/' || (unsigned char)*p < 0x20 || *p == 0x7f) *p = '_';
  if (valid[0] == '.') valid[0] = '_';
  size_t len = strlen(valid);
  if (len <= MAX_STORED_NAME) return valid;

  const char *dot = strrchr(valid, '.');
  size_t ext_len = dot != NULL && strlen(dot) <= MAX_EXTENSION ? strlen(dot) : 0;
  const char *stem_end =
      g_utf8_find_prev_char(valid, valid + MAX_STORED_NAME - ext_len + 1);
  char *cut = g_strdup_printf("%.*s%s", (int)(stem_end - valid), valid,
                              valid + len - ext_len);
  g_free(valid);
  return cut;
}

/* "name.ext" -> "name-N.ext"; a leading dot is no extension. */
static char *numbered_variant(const char *name, unsigned n) {
  const char *dot = strrchr(name, '.');
  if (dot == NULL || dot == name || strlen(dot) > MAX_EXTENSION)
    return g_strdup_printf("%s-%u", name, n);
  return g_strdup_printf("%.*s-%u%s", (int)(dot - name), name, n, dot);
}

/* Creates a new file in the upload folder, never replacing or following
 * anything already there (a planted symlink is just a taken name). */
static int create_unique_file(Upload *up, const char *name, char **stored) {
  for (unsigned n = 0; n <= MAX_VARIANTS; n++) {
    char *candidate = n == 0 ? g_strdup(name) : numbered_variant(name, n);
    sigset_t saved;
    block_signals(&saved);
    int fd = openat(up->dir_fd, candidate,
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    int saved_errno = errno;
    if (fd >= 0) {
      g_strlcpy(partial_name, candidate, sizeof partial_name);
      partial_dir_fd = up->dir_fd;
      partial_set = 1;
    }
    sigprocmask(SIG_SETMASK, &saved, NULL);
    if (fd >= 0) {
      *stored = candidate;
      return fd;
    }
    g_free(candidate);
    if (saved_errno != EEXIST) {
      fail(up, STATUS_SERVER_ERROR, "Cannot create a file in the upload folder: %s",
           g_strerror(saved_errno));
      return -1;
    }
  }
  fail(up, STATUS_SERVER_ERROR, "No free name left for %s", name);
  return -1;
}

static void forget_partial(void) { partial_set = 0; }

static gboolean write_all(int fd, const char *data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return FALSE;
    data += n;
    len -= (size_t)n;
  }
  return TRUE;
}

/* Streams the part's content into the file, counting and hashing as it
 * goes, so nothing is read back. */
static gboolean copy_content(Upload *up, int fd, const MpreadPart *part,
                             char *buffer, StoredFile *file) {
  GChecksum *sha = g_checksum_new(G_CHECKSUM_SHA256);
  gboolean ok = FALSE;
  for (;;) {
    size_t length = 0;
    GError *error = NULL;
    int r = mpread_get_part_buffer(buffer, CHUNK_SIZE, &length, &error);
    if (r < 0) {
      fail_with(up, STATUS_BAD_REQUEST, error, "Reading the file content failed");
      break;
    }
    if (r == 0) {
      fail(up, STATUS_BAD_REQUEST, "Request body ended inside the file of field %s",
           part->name);
      break;
    }
    if (length == 0) {
      ok = TRUE;
      break;
    }
    if (!write_all(fd, buffer, length)) {
      fail(up, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
           g_strerror(errno));
      break;
    }
    g_checksum_update(sha, (const guchar *)buffer, (gssize)length);
    file->size += length;
  }
  if (ok) file->sha256 = g_strdup(g_checksum_get_string(sha));
  g_checksum_free(sha);
  return ok;
}

static gboolean store_file(Upload *up, const MpreadPart *part, char *buffer) {
  char *name = safe_file_name(part->filename);
  if (name[0] == '\0') {
    g_free(name);
    name = g_strdup("upload");
  }
  StoredFile *file = g_new0(StoredFile, 1);
  int fd = create_unique_file(up, name, &file->stored_name);
  g_free(name);
  if (fd < 0) {
    stored_file_free(file);
    return FALSE;
  }
  gboolean ok = copy_content(up, fd, part, buffer, file);
  /* close() is where some file systems report a failed write. */
  if (close(fd) != 0 && ok)
    ok = fail(up, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
              g_strerror(errno));
  if (!ok) {
    unlinkat(up->dir_fd, file->stored_name, 0);
    forget_partial();
    stored_file_free(file);
    return FALSE;
  }
  forget_partial();
  file->field = g_utf8_make_valid(part->name, -1);
  file->file_name = g_utf8_make_valid(part->filename, -1);
  file->mime_type = part->mime != NULL ? g_utf8_make_valid(part->mime, -1) : NULL;
  g_ptr_array_add(up->files, file);
  return TRUE;
}

static gboolean collect_field(Upload *up, const MpreadPart *part, char *buffer) {
  up->field_bytes += strlen(part->name);
  if (up->field_bytes > up->max_field_bytes)
    return fail(up, STATUS_TOO_LARGE, "Text fields exceed %" G_GUINT64_FORMAT
                " bytes in all", up->max_field_bytes);
  GString *value = g_string_new(NULL);
  for (;;) {
    size_t length = 0;
    GError *error = NULL;
    int r = mpread_get_part_buffer(buffer, CHUNK_SIZE, &length, &error);
    if (r < 0) {
      g_string_free(value, TRUE);
      return fail_with(up, STATUS_BAD_REQUEST, error, "Reading a field failed");
    }
    if (r == 0) {
      g_string_free(value, TRUE);
      return fail(up, STATUS_BAD_REQUEST, "Request body ended inside field %s",
                  part->name);
    }
    if (length == 0) break;
    up->field_bytes += length;
    if (up->field_bytes > up->max_field_bytes) {
      g_string_free(value, TRUE);
      return fail(up, STATUS_TOO_LARGE, "Text fields exceed %" G_GUINT64_FORMAT
                  " bytes in all", up->max_field_bytes);
    }
    g_string_append_len(value, buffer, (gssize)length);
  }
  g_ptr_array_add(up->fields, g_utf8_make_valid(part->name, -1));
  g_ptr_array_add(up->fields, g_utf8_make_valid(value->str, (gssize)value->len));
  g_string_free(value, TRUE);
  return TRUE;
}

/* A browser sends a file input with no file chosen as a file part with an
 * empty file name and no content; the reader refuses that part alone. */
static gboolean is_empty_file_input(const GError *error) {
  return g_error_matches(error, MPREAD_ERROR, MPREAD_ERROR_INVALID_FILENAME);
}

static void read_form(Upload *up) {
  GError *error = NULL;
  if (!mpread_init(&error)) {
    fail_with(up, STATUS_BAD_REQUEST, error, "The request has no body");
    return;
  }
  char *buffer = g_malloc(CHUNK_SIZE);
  MpreadPart part = {0};
  for (;;) {
    int r = mpread_get_next_part(&part, &error);
    if (r == 0) break;
    gboolean ok;
    if (r < 0) {
      ok = is_empty_file_input(error);
      if (ok)
        g_clear_error(&error);
      else
        fail_with(up, STATUS_BAD_REQUEST, error, "Reading a part failed");
      error = NULL;
    } else if (part.filename != NULL) {
      ok = store_file(up, &part, buffer);
    } else {
      ok = collect_field(up, &part, buffer);
    }
    mpread_release_part(&part);
    if (!ok) break;
  }
  g_free(buffer);
  mpread_release();
}

/* Refuses an oversized request before a byte is stored. A length the reader
 * would refuse anyway is left to it, so its message is the one answered. */
static gboolean check_request_size(Upload *up, guint64 max_bytes) {
  const char *text = g_getenv("CONTENT_LENGTH");
  guint64 length;
  if (max_bytes == 0 || text == NULL ||
      !g_ascii_string_to_unsigned(text, 10, 0, G_MAXUINT64, &length, NULL))
    return TRUE;
  if (length > max_bytes)
    return fail(up, STATUS_TOO_LARGE,
                "Request body of %" G_GUINT64_FORMAT " bytes exceeds the limit of %"
                G_GUINT64_FORMAT, length, max_bytes);
  return TRUE;
}

static void add_optional_string(JsonBuilder *b, const char *member, const char *value) {
  json_builder_set_member_name(b, member);
  if (value != NULL)
    json_builder_add_string_value(b, value);
  else
    json_builder_add_null_value(b);
}

static JsonNode *build_answer(const Upload *up) {
  JsonBuilder *b = json_builder_new();
  json_builder_begin_object(b);
  if (up->status != STATUS_OK) {
    json_builder_set_member_name(b, "error");
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "status");
    json_builder_add_int_value(b, up->status);
    json_builder_set_member_name(b, "domain");
    json_builder_add_string_value(b, g_quark_to_string(up->error->domain));
    json_builder_set_member_name(b, "code");
    json_builder_add_int_value(b, up->error->code);
    char *message = g_utf8_make_valid(up->error->message, -1);
    json_builder_set_member_name(b, "message");
    json_builder_add_string_value(b, message);
    g_free(message);
    json_builder_end_object(b);
  }
  json_builder_set_member_name(b, "fields");
  json_builder_begin_array(b);
  for (guint i = 0; i + 1 < up->fields->len; i += 2) {
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "name");
    json_builder_add_string_value(b, g_ptr_array_index(up->fields, i));
    json_builder_set_member_name(b, "value");
    json_builder_add_string_value(b, g_ptr_array_index(up->fields, i + 1));
    json_builder_end_object(b);
  }
  json_builder_end_array(b);
  json_builder_set_member_name(b, "files");
  json_builder_begin_array(b);
  for (guint i = 0; i < up->files->len; i++) {
    const StoredFile *f = g_ptr_array_index(up->files, i);
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "field");
    json_builder_add_string_value(b, f->field);
    json_builder_set_member_name(b, "stored_name");
    json_builder_add_string_value(b, f->stored_name);
    json_builder_set_member_name(b, "file_name");
    json_builder_add_string_value(b, f->file_name);
    add_optional_string(b, "mime_type", f->mime_type);
    json_builder_set_member_name(b, "size");
    json_builder_add_int_value(b, (gint64)f->size);
    json_builder_set_member_name(b, "sha256");
    json_builder_add_string_value(b, f->sha256);
    json_builder_end_object(b);
  }
  json_builder_end_array(b);
  json_builder_end_object(b);
  JsonNode *root = json_builder_get_root(b);
  g_object_unref(b);
  return root;
}

static const char *reason_phrase(Status status) {
  switch (status) {
    case STATUS_OK: return "OK";
    case STATUS_BAD_REQUEST: return "Bad Request";
    case STATUS_TOO_LARGE: return "Content Too Large";
    case STATUS_SERVER_ERROR: return "Internal Server Error";
  }
  return "Error";
}

/* Under a web server the answer starts with CGI headers; from a shell it is
 * the JSON alone, indented, and the exit status tells the outcome. */
static void send_answer(const Upload *up) {
  gboolean cgi = g_getenv("GATEWAY_INTERFACE") != NULL;
  JsonNode *root = build_answer(up);
  JsonGenerator *gen = json_generator_new();
  json_generator_set_root(gen, root);
  json_generator_set_pretty(gen, !cgi);
  gsize length = 0;
  char *json = json_generator_to_data(gen, &length);
  /* The server puts this in its error log. */
  if (cgi && up->status != STATUS_OK)
    fprintf(stderr, "mpread-upload: %d: %s\n", up->status, up->error->message);
  if (cgi)
    printf("Status: %d %s\r\n"
           "Content-Type: application/json; charset=utf-8\r\n"
           "Cache-Control: no-store\r\n"
           "X-Content-Type-Options: nosniff\r\n"
           "\r\n",
           up->status, reason_phrase(up->status));
  fwrite(json, 1, length, stdout);
  fputc('\n', stdout);
  fflush(stdout);
  g_free(json);
  g_object_unref(gen);
  json_node_unref(root);
}

static const char usage[] =
    "usage: mpread-upload\n"
    "Stores the files of a multipart/form-data request and prints a JSON\n"
    "answer. Run as a CGI program, or from a shell:\n"
    "  REQUEST_METHOD=POST CONTENT_LENGTH=$(stat -c %s body) \\\n"
    "  CONTENT_TYPE='multipart/form-data; boundary=...' \\\n"
    "  MPREAD_UPLOAD_DIR=out mpread-upload < body\n"
    "Settings: MPREAD_UPLOAD_DIR (default ./uploads), MPREAD_UPLOAD_MAX_BYTES,\n"
    "MPREAD_UPLOAD_MAX_FIELD_BYTES (default 1048576).\n";

int main(int argc, char **argv) {
  /* Under CGI, a query without '=' may arrive as arguments: ignore them. */
  if (argc > 1 && g_getenv("GATEWAY_INTERFACE") == NULL) {
    gboolean help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    fputs(usage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  install_signal_handlers();
  Upload up = {.dir_fd = -1, .status = STATUS_OK};
  up.fields = g_ptr_array_new_with_free_func(g_free);
  up.files = g_ptr_array_new_with_free_func(stored_file_free);

  guint64 max_bytes = 0;
  if (read_size_setting(&up, "MPREAD_UPLOAD_MAX_BYTES", 0, &max_bytes) &&
      read_size_setting(&up, "MPREAD_UPLOAD_MAX_FIELD_BYTES", DEFAULT_MAX_FIELD_BYTES,
                        &up.max_field_bytes) &&
      check_request_size(&up, max_bytes) && open_upload_dir(&up))
    read_form(&up);

  send_answer(&up);
  int exit_status = up.status == STATUS_OK ? 0 : 1;
  if (up.dir_fd >= 0) close(up.dir_fd);
  g_clear_error(&up.error);
  g_ptr_array_unref(up.fields);
  g_ptr_array_unref(up.files);
  return exit_status;
}
