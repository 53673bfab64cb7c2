/* mpread-upload: a CGI upload handler built on libmpread.
 *
 * Stores every file of a multipart/form-data POST request in an upload
 * folder and answers with a JSON document listing the text fields and the
 * stored files (field, stored name, client file name, mime type, size,
 * SHA-256). Run by a web server as a CGI program, or from a shell with
 * REQUEST_METHOD, CONTENT_TYPE and CONTENT_LENGTH set and a saved request
 * body on standard input.
 *
 * Environment (a limit of 0 means none):
 *   MPREAD_UPLOAD_DIR              upload folder; under a web server an
 *                                  absolute path outside the web root and
 *                                  the handler's folder (required), from a
 *                                  shell "uploads" by default; made when
 *                                  missing
 *   MPREAD_UPLOAD_MAX_BYTES        largest request body taken (1 GiB)
 *   MPREAD_UPLOAD_MAX_FIELD_BYTES  text fields' names and values together
 *                                  (1 MiB)
 *   MPREAD_UPLOAD_MAX_FILES        files in one request (1000)
 *   MPREAD_UPLOAD_MAX_PARTS        parts in one request (10000)
 *   MPREAD_UPLOAD_IDLE_SECONDS     longest wait for the next body byte (30)
 *   MPREAD_UPLOAD_MAX_SECONDS      longest time for the whole request (0)
 *
 * Answers: 200 when the whole form was read; 400 for a malformed or broken
 * request (with the reader's error message), 405 for a method other than
 * POST, 408 when the client is too slow, 411 without a Content-Length, 413
 * past a limit, 500 when the server side fails (settings, folder, disk). On
 * a failure the file being written is removed; files completed before it
 * stay and are listed.
 *
 * A file is written without a name (O_TMPFILE) and named only once it is
 * complete, so no one ever sees a half-written upload under a final name,
 * and a handler killed outright leaves nothing behind. Where the file
 * system refuses O_TMPFILE, a hidden temporary name is used instead and
 * renamed without replacing anything.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <glib.h>
#include <json-glib/json-glib.h>
#include <mpread.h>

enum { CHUNK_SIZE = 64 * 1024 };
/* Leaves room below NAME_MAX for a "_" before a leading "-" and a "-NNNN"
 * suffix. */
enum { MAX_STORED_NAME = 200, MAX_EXTENSION = 16, MAX_VARIANTS = 9999 };
#define DEFAULT_UPLOAD_DIR "uploads"
#define DEFAULT_MAX_BYTES (G_GUINT64_CONSTANT(1) << 30)
#define DEFAULT_MAX_FIELD_BYTES (1024 * 1024)
#define DEFAULT_MAX_FILES 1000
#define DEFAULT_MAX_PARTS 10000
#define DEFAULT_IDLE_SECONDS 30
/* Hidden temporary names of the fallback; stored names never start with a
 * dot, so they cannot meet. One left by a killed handler goes after: */
#define TEMP_PREFIX ".mpread-partial-"
#define STALE_TEMP_SECONDS (60 * 60)

typedef enum {
  STATUS_OK = 200,
  STATUS_BAD_REQUEST = 400,
  STATUS_METHOD_NOT_ALLOWED = 405,
  STATUS_TIMEOUT = 408,
  STATUS_LENGTH_REQUIRED = 411,
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
  gboolean cgi;
  gboolean use_tmpfile; /* else hidden temporary names */
  guint64 max_field_bytes;
  guint64 field_bytes;
  guint64 max_files;
  guint64 max_parts;
  guint64 parts;
  GHashTable *next_variant; /* name -> first number not tried yet */
  GPtrArray *fields;        /* name, value, name, value, ... */
  GPtrArray *files;         /* StoredFile */
  Status status;
  GError *error;             /* why status is not STATUS_OK */
  const char *limit_setting; /* the limit a 413 ran into */
  guint64 limit;
} Upload;

/* --- What the signal handlers see ---------------------------------------
 * Changed by the main flow only with every signal blocked, so a handler
 * never sees it half-changed. */

/* The hidden temporary file being written (fallback only): a server that
 * loses its client ends the CGI program with SIGTERM, and what was written
 * so far must not stay behind. An O_TMPFILE file has no name to remove. */
static volatile sig_atomic_t partial_set = 0;
static int partial_dir_fd = -1;
static char partial_name[NAME_MAX + 1];

/* The time limits. The library retries reads that a signal interrupts, so
 * the handler ends on the timer itself: the answer is kept ready (head,
 * then the fields and files stored so far as JSON) for a plain write(2). */
typedef enum { TIMEOUT_IDLE, TIMEOUT_TOTAL, TIMEOUT_KINDS } TimeoutKind;
/* Set when body bytes came since the last tick. */
static volatile sig_atomic_t body_activity = 0;
static struct timespec started, last_activity;
static guint64 idle_ms = 0, total_ms = 0;
/* For the server's error log; and CGI headers, then the answer up to the
 * list of fields. */
static char *timeout_log[TIMEOUT_KINDS];
static char *timeout_head[TIMEOUT_KINDS];
/* NULL while there is no time limit. */
static GString *answer_fields = NULL;
static GString *answer_files = NULL;

static void block_signals(sigset_t *saved) {
  sigset_t all;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, saved);
}

static void restore_signals(const sigset_t *saved) {
  sigprocmask(SIG_SETMASK, saved, NULL);
}

static void remove_partial(void) {
  if (partial_set) unlinkat(partial_dir_fd, partial_name, 0);
}

static void remove_partial_and_die(int sig) {
  remove_partial();
  signal(sig, SIG_DFL);
  raise(sig);
}

/* Async-signal-safe, as the timer needs. */
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

static void time_out(TimeoutKind kind) {
  remove_partial();
  if (timeout_log[kind] != NULL)
    write_all(2, timeout_log[kind], strlen(timeout_log[kind]));
  static const char between[] = "],\"files\":[";
  static const char end[] = "]}\n";
  if (write_all(1, timeout_head[kind], strlen(timeout_head[kind])) &&
      write_all(1, answer_fields->str, answer_fields->len) &&
      write_all(1, between, sizeof between - 1) &&
      write_all(1, answer_files->str, answer_files->len))
    write_all(1, end, sizeof end - 1);
  _exit(1);
}

static guint64 ms_between(const struct timespec *from,
                          const struct timespec *to) {
  gint64 ms = ((gint64)to->tv_sec - (gint64)from->tv_sec) * 1000 +
              ((gint64)to->tv_nsec - (gint64)from->tv_nsec) / 1000000;
  return ms > 0 ? (guint64)ms : 0;
}

static void on_tick(int sig) {
  (void)sig;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (body_activity) {
    body_activity = 0;
    last_activity = now;
  }
  if (total_ms != 0 && ms_between(&started, &now) >= total_ms)
    time_out(TIMEOUT_TOTAL);
  if (idle_ms != 0 && ms_between(&last_activity, &now) >= idle_ms)
    time_out(TIMEOUT_IDLE);
}

/* Standard input is set to raise SIGIO whenever the server passes on body
 * bytes: the reader fills whole chunks, so a slow but steady client would
 * otherwise look idle. */
static void on_input(int sig) {
  (void)sig;
  body_activity = 1;
}

static void install_signal_handlers(void) {
  static const int fatal[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGXCPU};
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = remove_partial_and_die;
  sigfillset(&sa.sa_mask);
  for (size_t i = 0; i < G_N_ELEMENTS(fatal); i++)
    sigaction(fatal[i], &sa, NULL);
  /* A server that hung up gets no answer; the write fails instead. */
  signal(SIGPIPE, SIG_IGN);
  /* Past a file-size limit (ulimit -f) write() then fails with EFBIG and the
   * normal failure path removes the file and answers. */
  signal(SIGXFSZ, SIG_IGN);
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

/* A 413 names the setting that was exceeded and its value. */
static gboolean fail_limit(Upload *up, const char *setting, guint64 limit,
                           const char *fmt, ...) G_GNUC_PRINTF(4, 5);

static gboolean fail_limit(Upload *up, const char *setting, guint64 limit,
                           const char *fmt, ...) {
  if (up->status == STATUS_OK) {
    va_list ap;
    va_start(ap, fmt);
    up->error = g_error_new_valist(handler_error_quark(),
                                   (gint)STATUS_TOO_LARGE, fmt, ap);
    va_end(ap);
    up->status = STATUS_TOO_LARGE;
    up->limit_setting = setting;
    up->limit = limit;
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

static gboolean read_number_setting(Upload *up, const char *name,
                                    guint64 fallback, guint64 *value) {
  const char *text = g_getenv(name);
  *value = fallback;
  if (text == NULL || *text == '\0') return TRUE;
  /* Seconds are turned into milliseconds: keep them far from overflowing. */
  guint64 max = g_str_has_suffix(name, "_SECONDS") ? G_MAXUINT32 : G_MAXUINT64;
  if (!g_ascii_string_to_unsigned(text, 10, 0, max, value, NULL))
    return fail(up, STATUS_SERVER_ERROR, "%s is not a whole number: %s", name,
                text);
  return TRUE;
}

/* --- The upload folder --------------------------------------------------- */

/* The real path of a folder that may not exist yet (it is made one level
 * deep): its parent's real path and its own name. */
static char *real_folder_path(const char *dir) {
  char *real = realpath(dir, NULL);
  if (real != NULL || errno != ENOENT) {
    char *copy = g_strdup(real);
    free(real);
    return copy;
  }
  char *parent = g_path_get_dirname(dir);
  char *base = g_path_get_basename(dir);
  char *real_parent = realpath(parent, NULL);
  char *path = NULL;
  if (real_parent != NULL && strcmp(base, ".") != 0 && strcmp(base, "..") != 0)
    path = g_build_filename(real_parent, base, NULL);
  else if (real_parent != NULL)
    errno = ENOENT;
  free(real_parent);
  g_free(parent);
  g_free(base);
  return path;
}

static gboolean is_inside(const char *path, const char *folder) {
  size_t n = strlen(folder);
  if (strcmp(folder, "/") == 0) return TRUE;
  return strncmp(path, folder, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

/* Checks the folder against one place it must stay out of; a place that
 * cannot be resolved does not exist and so holds nothing. */
static gboolean check_outside(Upload *up, const char *real_dir,
                              const char *place, const char *what) {
  if (place == NULL || *place == '\0') return TRUE;
  char *real = realpath(place, NULL);
  gboolean inside = real != NULL && is_inside(real_dir, real);
  if (inside)
    fail(up, STATUS_SERVER_ERROR,
         "The upload folder %s lies inside %s %s, where stored files could be "
         "served or run: set MPREAD_UPLOAD_DIR to a folder outside it",
         real_dir, what, real);
  free(real);
  return !inside;
}

/* Refuses a folder whose real path lies in the web root or the handler's
 * own folder. */
static gboolean check_placement(Upload *up, const char *real_dir) {
  const char *script = g_getenv("SCRIPT_FILENAME");
  const char *script_name = g_getenv("SCRIPT_NAME");
  /* busybox httpd sets no DOCUMENT_ROOT: the script's path less its URL
   * path is the web root. */
  char *derived_root = NULL;
  if (script != NULL && script_name != NULL && *script_name == '/' &&
      g_str_has_suffix(script, script_name))
    derived_root = g_strndup(script, strlen(script) - strlen(script_name));
  char *script_dir = script != NULL ? g_path_get_dirname(script) : NULL;
  char *exe = realpath("/proc/self/exe", NULL);
  char *exe_dir = exe != NULL ? g_path_get_dirname(exe) : NULL;

  gboolean ok =
      check_outside(up, real_dir, g_getenv("DOCUMENT_ROOT"), "the web root") &&
      check_outside(up, real_dir, derived_root, "the web root") &&
      check_outside(up, real_dir, script_dir, "the handler's folder") &&
      check_outside(up, real_dir, exe_dir, "the handler's folder");
  free(exe);
  g_free(exe_dir);
  g_free(script_dir);
  g_free(derived_root);
  return ok;
}

/* Under a web server the working directory is the handler's own folder,
 * in the web root: a relative or default folder would put uploads where
 * the server hands them out (or runs them as programs). Checked before the
 * folder is made, so that nothing appears in the web root. */
static gboolean check_cgi_folder(Upload *up, const char *dir) {
  if (dir == NULL || *dir == '\0')
    return fail(up, STATUS_SERVER_ERROR,
                "MPREAD_UPLOAD_DIR is not set: under a web server the handler "
                "needs an absolute upload folder outside the web root");
  if (!g_path_is_absolute(dir))
    return fail(
        up, STATUS_SERVER_ERROR,
        "MPREAD_UPLOAD_DIR must be an absolute path under a web server: %s",
        dir);
  char *real_dir = real_folder_path(dir);
  if (real_dir == NULL)
    return fail(up, STATUS_SERVER_ERROR,
                "Cannot resolve the upload folder %s: %s", dir,
                g_strerror(errno));
  gboolean ok = check_placement(up, real_dir);
  g_free(real_dir);
  return ok;
}

/* The path of an open descriptor, through /proc: how an O_TMPFILE file is
 * named with linkat(), and where an opened folder really is. /proc may be
 * missing in a chroot; then the fallbacks are used. */
static void proc_fd_path(int fd, char *path, size_t size) {
  g_snprintf(path, size, "/proc/self/fd/%d", fd);
}

/* Checked again on the folder as opened, in case a symbolic link on its
 * path changed in between. */
static gboolean check_cgi_folder_opened(Upload *up) {
  char path[64];
  proc_fd_path(up->dir_fd, path, sizeof path);
  char *real_dir = realpath(path, NULL);
  if (real_dir == NULL) return TRUE; /* no /proc: the first check stands */
  gboolean ok = check_placement(up, real_dir);
  free(real_dir);
  return ok;
}

/* A folder that others can write to lets them replace or plant files among
 * the uploads; one owned by another user is not ours to fill. */
static gboolean check_folder_rights(Upload *up) {
  struct stat st;
  if (fstat(up->dir_fd, &st) != 0)
    return fail(up, STATUS_SERVER_ERROR, "Cannot examine the upload folder: %s",
                g_strerror(errno));
  if (!S_ISDIR(st.st_mode))
    return fail(up, STATUS_SERVER_ERROR, "The upload folder is not a folder");
  if (st.st_uid != geteuid())
    return fail(
        up, STATUS_SERVER_ERROR,
        "The upload folder belongs to user %u, not to the handler's user %u",
        (unsigned)st.st_uid, (unsigned)geteuid());
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return fail(up, STATUS_SERVER_ERROR,
                "The upload folder can be written by %s (mode %03o): allow its "
                "owner only (chmod go-w)",
                (st.st_mode & S_IWOTH) != 0 ? "all users" : "its group",
                (unsigned)(st.st_mode & 0777));
  return TRUE;
}

static gboolean tmpfile_usable(int dir_fd) {
  int fd = openat(dir_fd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
  if (fd < 0) return FALSE;
  char path[64];
  proc_fd_path(fd, path, sizeof path);
  struct stat by_fd, by_path;
  gboolean usable = fstat(fd, &by_fd) == 0 && stat(path, &by_path) == 0 &&
                    by_fd.st_ino == by_path.st_ino &&
                    by_fd.st_dev == by_path.st_dev;
  close(fd);
  return usable;
}

/* Hidden temporaries of handlers killed outright (SIGKILL, a crash, power
 * loss) would stay for ever; one not written to for an hour is such. */
static void remove_stale_temps(int dir_fd) {
  int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR *d = fdopendir(fd);
  if (d == NULL) {
    close(fd);
    return;
  }
  time_t now = time(NULL);
  const struct dirent *e;
  while ((e = readdir(d)) != NULL) {
    struct stat st;
    if (g_str_has_prefix(e->d_name, TEMP_PREFIX) &&
        fstatat(dir_fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        now - st.st_mtime > STALE_TEMP_SECONDS)
      unlinkat(dir_fd, e->d_name, 0);
  }
  closedir(d);
}

static gboolean open_upload_dir(Upload *up) {
  const char *dir = g_getenv("MPREAD_UPLOAD_DIR");
  if (up->cgi && !check_cgi_folder(up, dir)) return FALSE;
  if (dir == NULL || *dir == '\0') dir = DEFAULT_UPLOAD_DIR;
  if (mkdir(dir, 0700) != 0 && errno != EEXIST)
    return fail(up, STATUS_SERVER_ERROR, "Cannot create the upload folder: %s",
                g_strerror(errno));
  up->dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (up->dir_fd < 0)
    return fail(up, STATUS_SERVER_ERROR, "Cannot open the upload folder: %s",
                g_strerror(errno));
  if (!check_folder_rights(up)) return FALSE;
  if (up->cgi && !check_cgi_folder_opened(up)) return FALSE;
  up->use_tmpfile = tmpfile_usable(up->dir_fd);
  if (!up->use_tmpfile) remove_stale_temps(up->dir_fd);
  return TRUE;
}

/* --- Names ---------------------------------------------------------------- */

/* Characters that make a listing lie: C1 controls, bidirectional controls
 * ("\u202egpj.exe" shows as "exe.jpg") and zero-width characters. */
static gboolean is_misleading(gunichar c) {
  return c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f) ||
         (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0x200e || c == 0x200f || (c >= 0x200b && c <= 0x200d) ||
         c == 0xfeff;
}

/* The extension that cuts and numbering keep: from the last dot, when it is
 * short; a leading dot is no extension. The end of the name when none. */
static const char *extension(const char *name) {
  const char *dot = strrchr(name, '.');
  if (dot == NULL || dot == name || strlen(dot) > MAX_EXTENSION)
    return name + strlen(name);
  return dot;
}

/* Cuts an over-long name to MAX_STORED_NAME bytes on a character boundary,
 * keeping a short extension. */
static char *cut_name(char *name) {
  size_t len = strlen(name);
  if (len <= MAX_STORED_NAME) return name;
  size_t ext_len = strlen(extension(name));
  const char *stem_end =
      g_utf8_find_prev_char(name, name + MAX_STORED_NAME - ext_len + 1);
  char *cut = g_strdup_printf("%.*s%s", (int)(stem_end - name), name,
                              name + len - ext_len);
  g_free(name);
  return cut;
}

/* The reader has removed any directory part; what is left is still the
 * client's text. Invalid UTF-8 becomes U+FFFD so the stored name and the
 * JSON agree. The name is kept from hiding (".htaccess"), from passing for
 * an option ("-rf"), from ending in dots or blanks (Windows drops them:
 * "a.php." is "a.php" there) and from exceeding NAME_MAX. */
static char *safe_file_name(const char *client_name) {
  char *valid = g_utf8_make_valid(client_name, -1);
  GString *name = g_string_sized_new(strlen(valid) + 1);
  for (const char *p = valid; *p != '\0'; p = g_utf8_next_char(p)) {
    gunichar c = g_utf8_get_char(p);
    if (c == '/' || is_misleading(c))
      g_string_append_c(name, '_');
    else
      g_string_append_len(name, p, g_utf8_next_char(p) - p);
  }
  g_free(valid);
  char *cut = cut_name(g_string_free(name, FALSE));

  char *end = cut + strlen(cut);
  while (end > cut) {
    const char *prev = g_utf8_find_prev_char(cut, end);
    gunichar c = g_utf8_get_char(prev);
    if (c != '.' && !g_unichar_isspace(c)) break;
    end = (char *)prev;
  }
  *end = '\0';
  if (cut[0] == '\0') {
    g_free(cut);
    return g_strdup("upload");
  }
  if (cut[0] == '.') cut[0] = '_';
  if (cut[0] == '-') {
    char *prefixed = g_strconcat("_", cut, NULL);
    g_free(cut);
    return prefixed;
  }
  return cut;
}

/* "name.ext" -> "name-N.ext" */
static char *numbered_variant(const char *name, unsigned n) {
  if (n == 0) return g_strdup(name);
  const char *ext = extension(name);
  return g_strdup_printf("%.*s-%u%s", (int)(ext - name), name, n, ext);
}

/* --- Storing a file ------------------------------------------------------- */

/* A new file in the upload folder: unnamed, or under a hidden temporary
 * name never replacing or following anything already there. */
static int create_partial(Upload *up, char **temp) {
  *temp = NULL;
  if (up->use_tmpfile) {
    int fd = openat(up->dir_fd, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd < 0)
      fail(up, STATUS_SERVER_ERROR,
           "Cannot create a file in the upload folder: %s", g_strerror(errno));
    return fd;
  }
  for (unsigned n = 0; n <= MAX_VARIANTS; n++) {
    char *candidate = g_strdup_printf(TEMP_PREFIX "%ld-%u", (long)getpid(), n);
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
    restore_signals(&saved);
    if (fd >= 0) {
      *temp = candidate;
      return fd;
    }
    g_free(candidate);
    if (saved_errno != EEXIST) {
      fail(up, STATUS_SERVER_ERROR,
           "Cannot create a file in the upload folder: %s",
           g_strerror(saved_errno));
      return -1;
    }
  }
  fail(up, STATUS_SERVER_ERROR, "No free temporary name in the upload folder");
  return -1;
}

/* Removes the unfinished file. The signal handler must not remove the name
 * once it is gone (by then it may be another handler's file): unlinking
 * and forgetting happen as one step. */
static void discard_partial(Upload *up, const char *temp) {
  if (temp == NULL) return;
  sigset_t saved;
  block_signals(&saved);
  unlinkat(up->dir_fd, temp, 0);
  partial_set = 0;
  restore_signals(&saved);
}

/* Gives the complete file the final name `name`; 0 or an errno value
 * (EEXIST: the name is taken). linkat() and renameat2() never replace an
 * existing entry, a planted symlink included. */
static int give_name(Upload *up, int fd, const char *temp, const char *name) {
  if (temp == NULL) {
    char path[64];
    proc_fd_path(fd, path, sizeof path);
    return linkat(AT_FDCWD, path, up->dir_fd, name, AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
  }
  sigset_t saved;
  block_signals(&saved);
  int r = renameat2(up->dir_fd, temp, up->dir_fd, name, RENAME_NOREPLACE);
  if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
    /* No RENAME_NOREPLACE on this file system: a hard link fails on an
     * existing name too. */
    r = linkat(up->dir_fd, temp, up->dir_fd, name, 0);
    if (r == 0) unlinkat(up->dir_fd, temp, 0);
  }
  int err = r == 0 ? 0 : errno;
  if (r == 0) partial_set = 0;
  restore_signals(&saved);
  return err;
}

/* Names the file with the first free one of name, name-1, name-2, ...,
 * going on from where the last file of the same name stopped: N files sent
 * under one name cost N tries in all, not N * N / 2. */
static char *name_file(Upload *up, int fd, const char *temp, const char *name) {
  gpointer next = NULL;
  unsigned n = g_hash_table_lookup_extended(up->next_variant, name, NULL, &next)
                   ? GPOINTER_TO_UINT(next)
                   : 0;
  for (; n <= MAX_VARIANTS; n++) {
    char *candidate = numbered_variant(name, n);
    int err = give_name(up, fd, temp, candidate);
    if (err == 0) {
      g_hash_table_replace(up->next_variant, g_strdup(name),
                           GUINT_TO_POINTER(n + 1));
      return candidate;
    }
    g_free(candidate);
    if (err != EEXIST) {
      fail(up, STATUS_SERVER_ERROR,
           "Cannot name a file in the upload folder: %s", g_strerror(err));
      return NULL;
    }
  }
  g_hash_table_replace(up->next_variant, g_strdup(name), GUINT_TO_POINTER(n));
  fail(up, STATUS_SERVER_ERROR, "No free name left for %s", name);
  return NULL;
}

/* Each chunk shows the client is still sending, where standard input
 * cannot raise SIGIO. */
static void note_progress(void) { body_activity = 1; }

/* The next chunk of the part's content: 1 with *length bytes, 0 at its end,
 * -1 with the answer set when the body fails or ends inside the part. */
static int next_chunk(Upload *up, const MpreadPart *part, char *buffer,
                      size_t *length, const char *inside) {
  GError *error = NULL;
  int r = mpread_get_part_buffer(buffer, CHUNK_SIZE, length, &error);
  note_progress();
  if (r < 0)
    fail_with(up, STATUS_BAD_REQUEST, error, "Reading the body failed");
  else if (r == 0)
    fail(up, STATUS_BAD_REQUEST, "Request body ended inside %s %s", inside,
         part->name);
  else
    return *length > 0;
  return -1;
}

/* Streams the part's content into the file, counting and hashing as it
 * goes, so nothing is read back. */
static gboolean copy_content(Upload *up, int fd, const MpreadPart *part,
                             char *buffer, StoredFile *file) {
  GChecksum *sha = g_checksum_new(G_CHECKSUM_SHA256);
  size_t length = 0;
  int r;
  while ((r = next_chunk(up, part, buffer, &length, "the file of field")) > 0) {
    if (!write_all(fd, buffer, length)) {
      fail(up, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
           g_strerror(errno));
      r = -1;
      break;
    }
    g_checksum_update(sha, (const guchar *)buffer, (gssize)length);
    file->size += length;
  }
  if (r == 0) file->sha256 = g_strdup(g_checksum_get_string(sha));
  g_checksum_free(sha);
  return r == 0;
}

static JsonNode *file_node(const StoredFile *f) {
  JsonBuilder *b = json_builder_new();
  json_builder_begin_object(b);
  json_builder_set_member_name(b, "field");
  json_builder_add_string_value(b, f->field);
  json_builder_set_member_name(b, "stored_name");
  json_builder_add_string_value(b, f->stored_name);
  json_builder_set_member_name(b, "file_name");
  json_builder_add_string_value(b, f->file_name);
  json_builder_set_member_name(b, "mime_type");
  if (f->mime_type != NULL)
    json_builder_add_string_value(b, f->mime_type);
  else
    json_builder_add_null_value(b);
  json_builder_set_member_name(b, "size");
  json_builder_add_int_value(b, (gint64)f->size);
  json_builder_set_member_name(b, "sha256");
  json_builder_add_string_value(b, f->sha256);
  json_builder_end_object(b);
  JsonNode *node = json_builder_get_root(b);
  g_object_unref(b);
  return node;
}

static JsonNode *field_node(const char *name, const char *value) {
  JsonBuilder *b = json_builder_new();
  json_builder_begin_object(b);
  json_builder_set_member_name(b, "name");
  json_builder_add_string_value(b, name);
  json_builder_set_member_name(b, "value");
  json_builder_add_string_value(b, value);
  json_builder_end_object(b);
  JsonNode *node = json_builder_get_root(b);
  g_object_unref(b);
  return node;
}

/* Adds an item to the answer the timer would send. */
static void add_to_timeout_answer(GString *list, JsonNode *node) {
  if (list == NULL) return;
  char *json = json_to_string(node, FALSE);
  sigset_t saved;
  block_signals(&saved);
  if (list->len > 0) g_string_append_c(list, ',');
  g_string_append(list, json);
  restore_signals(&saved);
  g_free(json);
}

static gboolean store_file(Upload *up, const MpreadPart *part, char *buffer) {
  if (up->max_files != 0 && up->files->len >= up->max_files)
    return fail_limit(up, "MPREAD_UPLOAD_MAX_FILES", up->max_files,
                      "The form has more than %" G_GUINT64_FORMAT " files",
                      up->max_files);
  char *temp = NULL;
  int fd = create_partial(up, &temp);
  if (fd < 0) return FALSE;
  StoredFile *file = g_new0(StoredFile, 1);
  gboolean ok = copy_content(up, fd, part, buffer, file);
  /* close() is where some file systems report a failed write; an O_TMPFILE
   * file needs its descriptor open until it has a name. */
  if (temp != NULL && close(fd) != 0 && ok)
    ok = fail(up, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
              g_strerror(errno));
  if (ok) {
    char *name = safe_file_name(part->filename);
    file->stored_name = name_file(up, fd, temp, name);
    ok = file->stored_name != NULL;
    g_free(name);
  }
  if (temp == NULL && close(fd) != 0 && ok) {
    ok = fail(up, STATUS_SERVER_ERROR, "Cannot write to the upload folder: %s",
              g_strerror(errno));
    unlinkat(up->dir_fd, file->stored_name, 0);
  }
  if (!ok) {
    discard_partial(up, temp);
    g_free(temp);
    stored_file_free(file);
    return FALSE;
  }
  g_free(temp);
  file->field = g_utf8_make_valid(part->name, -1);
  file->file_name = g_utf8_make_valid(part->filename, -1);
  file->mime_type = part->mime != NULL ? g_utf8_make_valid(part->mime, -1) : NULL;
  g_ptr_array_add(up->files, file);
  if (answer_files != NULL) {
    JsonNode *node = file_node(file);
    add_to_timeout_answer(answer_files, node);
    json_node_unref(node);
  }
  return TRUE;
}

static gboolean fields_too_large(Upload *up) {
  return fail_limit(up, "MPREAD_UPLOAD_MAX_FIELD_BYTES", up->max_field_bytes,
                    "Text fields exceed %" G_GUINT64_FORMAT " bytes in all",
                    up->max_field_bytes);
}

/* The fields are held in memory until the answer: they are capped. */
static gboolean field_bytes_exceeded(const Upload *up) {
  return up->max_field_bytes != 0 && up->field_bytes > up->max_field_bytes;
}

static gboolean collect_field(Upload *up, const MpreadPart *part, char *buffer) {
  up->field_bytes += strlen(part->name);
  if (field_bytes_exceeded(up)) return fields_too_large(up);
  GString *value = g_string_new(NULL);
  size_t length = 0;
  int r;
  while ((r = next_chunk(up, part, buffer, &length, "field")) > 0) {
    up->field_bytes += length;
    if (field_bytes_exceeded(up)) {
      fields_too_large(up);
      r = -1;
      break;
    }
    g_string_append_len(value, buffer, (gssize)length);
  }
  if (r < 0) {
    g_string_free(value, TRUE);
    return FALSE;
  }
  char *name = g_utf8_make_valid(part->name, -1);
  char *text = g_utf8_make_valid(value->str, (gssize)value->len);
  g_string_free(value, TRUE);
  g_ptr_array_add(up->fields, name);
  g_ptr_array_add(up->fields, text);
  if (answer_fields != NULL) {
    JsonNode *node = field_node(name, text);
    add_to_timeout_answer(answer_fields, node);
    json_node_unref(node);
  }
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
    note_progress();
    if (r == 0) break;
    gboolean ok;
    if (up->max_parts != 0 && ++up->parts > up->max_parts) {
      g_clear_error(&error);
      ok = fail_limit(up, "MPREAD_UPLOAD_MAX_PARTS", up->max_parts,
                      "The form has more than %" G_GUINT64_FORMAT " parts",
                      up->max_parts);
    } else if (r < 0) {
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

/* --- Checks before the body is read -------------------------------------- */

/* The reader refuses these too, but a server and its client understand 405
 * (with Allow) and 411 better than a 400. busybox httpd passes a chunked
 * body on without a length. */
static gboolean check_request_line(Upload *up) {
  const char *method = g_getenv("REQUEST_METHOD");
  if (method == NULL)
    return fail(
        up, STATUS_METHOD_NOT_ALLOWED,
        "No request method (REQUEST_METHOD is not set): only POST is taken");
  if (strcmp(method, "POST") != 0)
    return fail(up, STATUS_METHOD_NOT_ALLOWED,
                "Request method %s is not allowed: only POST is taken", method);
  const char *length = g_getenv("CONTENT_LENGTH");
  if (length == NULL || *length == '\0')
    return fail(
        up, STATUS_LENGTH_REQUIRED,
        "The request has no Content-Length: send the body with a length, "
        "not in chunks");
  return TRUE;
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
    return fail_limit(up, "MPREAD_UPLOAD_MAX_BYTES", max_bytes,
                      "Request body of %" G_GUINT64_FORMAT
                      " bytes exceeds the limit of %" G_GUINT64_FORMAT,
                      length, max_bytes);
  return TRUE;
}

/* --- The answer ----------------------------------------------------------- */

static void add_error(JsonBuilder *b, Status status, const GError *error,
                      const char *limit_setting, guint64 limit) {
  json_builder_set_member_name(b, "error");
  json_builder_begin_object(b);
  json_builder_set_member_name(b, "status");
  json_builder_add_int_value(b, status);
  json_builder_set_member_name(b, "domain");
  json_builder_add_string_value(b, g_quark_to_string(error->domain));
  json_builder_set_member_name(b, "code");
  json_builder_add_int_value(b, error->code);
  char *message = g_utf8_make_valid(error->message, -1);
  json_builder_set_member_name(b, "message");
  json_builder_add_string_value(b, message);
  g_free(message);
  if (limit_setting != NULL) {
    json_builder_set_member_name(b, "setting");
    json_builder_add_string_value(b, limit_setting);
    json_builder_set_member_name(b, "limit");
    json_builder_add_int_value(b, (gint64)limit);
  }
  json_builder_end_object(b);
}

static JsonNode *build_answer(const Upload *up) {
  JsonBuilder *b = json_builder_new();
  json_builder_begin_object(b);
  if (up->status != STATUS_OK)
    add_error(b, up->status, up->error, up->limit_setting, up->limit);
  json_builder_set_member_name(b, "fields");
  json_builder_begin_array(b);
  for (guint i = 0; i + 1 < up->fields->len; i += 2)
    json_builder_add_value(b, field_node(g_ptr_array_index(up->fields, i),
                                         g_ptr_array_index(up->fields, i + 1)));
  json_builder_end_array(b);
  json_builder_set_member_name(b, "files");
  json_builder_begin_array(b);
  for (guint i = 0; i < up->files->len; i++)
    json_builder_add_value(b, file_node(g_ptr_array_index(up->files, i)));
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

/* Under a web server the answer starts with CGI headers; from a shell it is
 * the JSON alone, indented, and the exit status tells the outcome. */
static void send_answer(const Upload *up) {
  JsonNode *root = build_answer(up);
  JsonGenerator *gen = json_generator_new();
  json_generator_set_root(gen, root);
  json_generator_set_pretty(gen, !up->cgi);
  gsize length = 0;
  char *json = json_generator_to_data(gen, &length);
  /* The server puts this in its error log. */
  if (up->cgi && up->status != STATUS_OK)
    fprintf(stderr, "mpread-upload: %d: %s\n", up->status, up->error->message);
  if (up->cgi) {
    char *head = cgi_headers(up->status);
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

/* --- The time limits ------------------------------------------------------ */

static void prepare_timeout_answer(const Upload *up, TimeoutKind kind,
                                   guint64 seconds) {
  GError *error = g_error_new(
      handler_error_quark(), STATUS_TIMEOUT,
      kind == TIMEOUT_IDLE
          ? "No request body byte arrived for %" G_GUINT64_FORMAT " seconds"
          : "The request took longer than %" G_GUINT64_FORMAT " seconds",
      seconds);
  const char *setting = kind == TIMEOUT_IDLE ? "MPREAD_UPLOAD_IDLE_SECONDS"
                                             : "MPREAD_UPLOAD_MAX_SECONDS";
  JsonBuilder *b = json_builder_new();
  json_builder_begin_object(b);
  add_error(b, STATUS_TIMEOUT, error, setting, seconds);
  json_builder_end_object(b);
  JsonNode *root = json_builder_get_root(b);
  char *json = json_to_string(root, FALSE);
  /* The object without its closing brace, then the lists follow. */
  json[strlen(json) - 1] = '\0';
  char *head = up->cgi ? cgi_headers(STATUS_TIMEOUT) : g_strdup("");
  timeout_head[kind] = g_strdup_printf("%s%s,\"fields\":[", head, json);
  if (up->cgi)
    timeout_log[kind] = g_strdup_printf("mpread-upload: %d: %s\n",
                                        STATUS_TIMEOUT, error->message);
  g_free(head);
  g_free(json);
  json_node_unref(root);
  g_object_unref(b);
  g_error_free(error);
}

/* A tick checks the limits: often enough that a timeout comes at most an
 * eighth of the limit late, rarely enough to cost nothing. */
static void start_timers(const Upload *up, guint64 idle_seconds,
                         guint64 total_seconds) {
  if (idle_seconds == 0 && total_seconds == 0) return;
  idle_ms = idle_seconds * 1000;
  total_ms = total_seconds * 1000;
  prepare_timeout_answer(up, TIMEOUT_IDLE, idle_seconds);
  prepare_timeout_answer(up, TIMEOUT_TOTAL, total_seconds);
  answer_fields = g_string_new(NULL);
  answer_files = g_string_new(NULL);
  clock_gettime(CLOCK_MONOTONIC, &last_activity);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sigfillset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sa.sa_handler = on_input;
  sigaction(SIGIO, &sa, NULL);
  sa.sa_handler = on_tick;
  sigaction(SIGALRM, &sa, NULL);
  /* Pipes and sockets support this; where standard input does not (a file),
   * reads do not wait anyway. */
  int flags = fcntl(0, F_GETFL);
  if (flags >= 0 && fcntl(0, F_SETOWN, getpid()) == 0)
    fcntl(0, F_SETFL, flags | O_ASYNC);

  guint64 shortest = idle_ms == 0    ? total_ms
                     : total_ms == 0 ? idle_ms
                                     : MIN(idle_ms, total_ms);
  guint64 tick_ms = CLAMP(shortest / 8, 50, 1000);
  struct itimerval tick = {
      .it_interval = {.tv_sec = (time_t)(tick_ms / 1000),
                      .tv_usec = (suseconds_t)(tick_ms % 1000 * 1000)},
  };
  tick.it_value = tick.it_interval;
  setitimer(ITIMER_REAL, &tick, NULL);
}

/* Once the body is read the answer is the main flow's alone. A tick still
 * pending is dropped by ignoring it. */
static void stop_timers(void) {
  if (answer_fields == NULL) return;
  struct itimerval off = {{0, 0}, {0, 0}};
  setitimer(ITIMER_REAL, &off, NULL);
  signal(SIGALRM, SIG_IGN);
  signal(SIGIO, SIG_IGN);
  g_string_free(answer_fields, TRUE);
  g_string_free(answer_files, TRUE);
  answer_fields = answer_files = NULL;
  for (int k = 0; k < TIMEOUT_KINDS; k++) {
    g_free(timeout_head[k]);
    g_free(timeout_log[k]);
    timeout_head[k] = timeout_log[k] = NULL;
  }
}

static const char usage[] =
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
    "MPREAD_UPLOAD_IDLE_SECONDS (30), MPREAD_UPLOAD_MAX_SECONDS (0).\n";

int main(int argc, char **argv) {
  clock_gettime(CLOCK_MONOTONIC, &started);
  /* Under CGI, a query without '=' may arrive as arguments: ignore them. */
  if (argc > 1 && g_getenv("GATEWAY_INTERFACE") == NULL) {
    gboolean help =
        strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
    fputs(usage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  install_signal_handlers();
  Upload up = {.dir_fd = -1, .status = STATUS_OK};
  up.cgi = g_getenv("GATEWAY_INTERFACE") != NULL;
  up.fields = g_ptr_array_new_with_free_func(g_free);
  up.files = g_ptr_array_new_with_free_func(stored_file_free);
  up.next_variant =
      g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);

  guint64 max_bytes = 0, idle_seconds = 0, total_seconds = 0;
  if (read_number_setting(&up, "MPREAD_UPLOAD_MAX_BYTES", DEFAULT_MAX_BYTES,
                          &max_bytes) &&
      read_number_setting(&up, "MPREAD_UPLOAD_MAX_FIELD_BYTES",
                          DEFAULT_MAX_FIELD_BYTES, &up.max_field_bytes) &&
      read_number_setting(&up, "MPREAD_UPLOAD_MAX_FILES", DEFAULT_MAX_FILES,
                          &up.max_files) &&
      read_number_setting(&up, "MPREAD_UPLOAD_MAX_PARTS", DEFAULT_MAX_PARTS,
                          &up.max_parts) &&
      read_number_setting(&up, "MPREAD_UPLOAD_IDLE_SECONDS",
                          DEFAULT_IDLE_SECONDS, &idle_seconds) &&
      read_number_setting(&up, "MPREAD_UPLOAD_MAX_SECONDS", 0,
                          &total_seconds) &&
      check_request_line(&up) && check_request_size(&up, max_bytes) &&
      open_upload_dir(&up)) {
    start_timers(&up, idle_seconds, total_seconds);
    read_form(&up);
    stop_timers();
  }

  send_answer(&up);
  int exit_status = up.status == STATUS_OK ? 0 : 1;
  if (up.dir_fd >= 0) close(up.dir_fd);
  g_clear_error(&up.error);
  g_ptr_array_unref(up.fields);
  g_ptr_array_unref(up.files);
  g_hash_table_unref(up.next_variant);
  return exit_status;
}
