/* The upload folder: placement and rights checks, opening it. */
#define _GNU_SOURCE
#include "folder.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

/* A hidden temporary of a handler killed outright (SIGKILL, a crash, power
 * loss) would stay for ever; one not written to for this long is such. */
#define STALE_TEMP_SECONDS (60 * 60)

void proc_fd_path(int fd, char *path, size_t size) {
  g_snprintf(path, size, "/proc/self/fd/%d", fd);
}

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
static gboolean check_outside(Answer *answer, const char *real_dir,
                              const char *place, const char *what) {
  if (place == NULL || *place == '\0') return TRUE;
  char *real = realpath(place, NULL);
  gboolean inside = real != NULL && is_inside(real_dir, real);
  if (inside)
    fail(answer, STATUS_SERVER_ERROR,
         "The upload folder %s lies inside %s %s, where stored files could be "
         "served or run: set MPREAD_UPLOAD_DIR to a folder outside it",
         real_dir, what, real);
  free(real);
  return !inside;
}

/* The web root: DOCUMENT_ROOT when the server sets it. busybox httpd sets
 * none: there the script's path less its URL path is the web root. Only
 * there, since under an alias (ScriptAlias /cgi-bin/ /srv/site/cgi-bin/)
 * the same guess names a folder that is no web root (/srv/site). */
static char *web_root(void) {
  const char *root = g_getenv("DOCUMENT_ROOT");
  if (root != NULL && *root != '\0') return g_strdup(root);
  const char *script = g_getenv("SCRIPT_FILENAME");
  const char *script_name = g_getenv("SCRIPT_NAME");
  if (script != NULL && script_name != NULL && *script_name == '/' &&
      g_str_has_suffix(script, script_name))
    return g_strndup(script, strlen(script) - strlen(script_name));
  return NULL;
}

/* Refuses a folder whose real path lies in the web root or the handler's
 * own folder. */
static gboolean check_placement(Answer *answer, const char *real_dir) {
  const char *script = g_getenv("SCRIPT_FILENAME");
  char *root = web_root();
  char *script_dir = script != NULL ? g_path_get_dirname(script) : NULL;
  char *exe = realpath("/proc/self/exe", NULL);
  char *exe_dir = exe != NULL ? g_path_get_dirname(exe) : NULL;

  gboolean ok =
      check_outside(answer, real_dir, root, "the web root") &&
      check_outside(answer, real_dir, script_dir, "the handler's folder") &&
      check_outside(answer, real_dir, exe_dir, "the handler's folder");
  free(exe);
  g_free(exe_dir);
  g_free(script_dir);
  g_free(root);
  return ok;
}

/* Under a web server the working directory is the handler's own folder,
 * in the web root: a relative or default folder would put uploads where
 * the server hands them out (or runs them as programs). Checked before the
 * folder is made, so that nothing appears in the web root. */
static gboolean check_cgi_folder(Answer *answer, const char *dir) {
  if (dir == NULL || *dir == '\0')
    return fail(answer, STATUS_SERVER_ERROR,
                "MPREAD_UPLOAD_DIR is not set: under a web server the handler "
                "needs an absolute upload folder outside the web root");
  if (!g_path_is_absolute(dir))
    return fail(
        answer, STATUS_SERVER_ERROR,
        "MPREAD_UPLOAD_DIR must be an absolute path under a web server: %s",
        dir);
  char *real_dir = real_folder_path(dir);
  if (real_dir == NULL)
    return fail(answer, STATUS_SERVER_ERROR,
                "Cannot resolve the upload folder %s: %s", dir,
                g_strerror(errno));
  gboolean ok = check_placement(answer, real_dir);
  g_free(real_dir);
  return ok;
}

/* Checked again on the folder as opened, in case a symbolic link on its
 * path changed in between. */
static gboolean check_cgi_folder_opened(Answer *answer, int dir_fd) {
  char path[64];
  proc_fd_path(dir_fd, path, sizeof path);
  char *real_dir = realpath(path, NULL);
  if (real_dir == NULL) return TRUE; /* no /proc: the first check stands */
  gboolean ok = check_placement(answer, real_dir);
  free(real_dir);
  return ok;
}

/* A folder that others can write to lets them replace or plant files among
 * the uploads; one owned by another user is not ours to fill. */
static gboolean check_folder_rights(Answer *answer, int dir_fd) {
  struct stat st;
  if (fstat(dir_fd, &st) != 0)
    return fail(answer, STATUS_SERVER_ERROR,
                "Cannot examine the upload folder: %s", g_strerror(errno));
  if (!S_ISDIR(st.st_mode))
    return fail(answer, STATUS_SERVER_ERROR,
                "The upload folder is not a folder");
  if (st.st_uid != geteuid())
    return fail(
        answer, STATUS_SERVER_ERROR,
        "The upload folder belongs to user %u, not to the handler's user %u",
        (unsigned)st.st_uid, (unsigned)geteuid());
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return fail(answer, STATUS_SERVER_ERROR,
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

gboolean folder_open(UploadFolder *folder, const Settings *settings,
                     Answer *answer) {
  const char *dir = settings->upload_dir;
  if (settings->cgi && !check_cgi_folder(answer, dir)) return FALSE;
  if (mkdir(dir, 0700) != 0 && errno != EEXIST)
    return fail(answer, STATUS_SERVER_ERROR,
                "Cannot create the upload folder: %s", g_strerror(errno));
  folder->fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder->fd < 0)
    return fail(answer, STATUS_SERVER_ERROR,
                "Cannot open the upload folder: %s", g_strerror(errno));
  if (!check_folder_rights(answer, folder->fd)) return FALSE;
  if (settings->cgi && !check_cgi_folder_opened(answer, folder->fd))
    return FALSE;
  folder->use_tmpfile = tmpfile_usable(folder->fd);
  if (!folder->use_tmpfile) remove_stale_temps(folder->fd);
  return TRUE;
}

void folder_close(UploadFolder *folder) {
  if (folder->fd >= 0) close(folder->fd);
  folder->fd = -1;
}
