/* Stored names: making a client name safe, numbering, unique suffixes. */
#include "names.h"

#include <errno.h>
#include <string.h>

/* Every stored name, variants included, is at most MAX_STORED_NAME bytes;
 * past MAX_VARIANTS numbered ones, a name gets a random 64-bit suffix,
 * tried at most UNIQUE_TRIES times: a clash is unlikely even among 2^32
 * names of one stem. */
enum { MAX_STORED_NAME = 200, MAX_EXTENSION = 16, UNIQUE_TRIES = 16 };

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

/* "name.ext" -> "name<suffix>.ext", the stem cut on a character boundary
 * so that the whole stays within MAX_STORED_NAME, a short extension kept. */
static char *variant(const char *name, const char *suffix) {
  const char *ext = extension(name);
  size_t room = MAX_STORED_NAME - strlen(ext) - strlen(suffix);
  const char *stem_end = ext;
  if ((size_t)(ext - name) > room)
    stem_end = g_utf8_find_prev_char(name, name + room + 1);
  return g_strdup_printf("%.*s%s%s", (int)(stem_end - name), name, suffix, ext);
}

/* The reader has removed any directory part; what is left is still the
 * client's text. Invalid UTF-8 becomes U+FFFD so the stored name and the
 * JSON agree. The name is kept from hiding (".htaccess"), from passing for
 * an option ("-rf"), from ending in dots or blanks (Windows drops them:
 * "a.php." is "a.php" there) and from exceeding NAME_MAX. */
char *safe_file_name(const char *client_name) {
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
  /* Before the cut, so that the "_" counts towards the length. */
  if (name->str[0] == '-') g_string_prepend_c(name, '_');
  char *cut = variant(name->str, "");
  g_string_free(name, TRUE);

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
  return cut;
}

/* The name with suffix if try_name gives it to the file; else NULL with
 * *err its errno value. */
static char *try_variant(const char *name, const char *suffix, TryName try_name,
                         void *data, int *err) {
  char *candidate = variant(name, suffix);
  *err = try_name(candidate, data);
  if (*err == 0) return candidate;
  g_free(candidate);
  return NULL;
}

NameNumbers *name_numbers_new(void) {
  return g_hash_table_new_full(g_str_hash, g_str_equal, g_free, NULL);
}

void name_numbers_free(NameNumbers *numbers) { g_hash_table_unref(numbers); }

/* The first free one of name, name-1, name-2, ..., going on from where the
 * last file of the same name stopped: N files sent under one name cost N
 * tries in all, not N * N / 2. Past name-MAX_VARIANTS, a random suffix: no
 * client can use a name up by sending it ten thousand times. */
char *give_free_name(NameNumbers *numbers, const char *name, TryName try_name,
                     void *data, int *err) {
  gpointer next = NULL;
  unsigned n = g_hash_table_lookup_extended(numbers, name, NULL, &next)
                   ? GPOINTER_TO_UINT(next)
                   : 0;
  char suffix[24] = "";
  for (; n <= MAX_VARIANTS; n++) {
    if (n > 0) g_snprintf(suffix, sizeof suffix, "-%u", n);
    char *given = try_variant(name, suffix, try_name, data, err);
    if (given != NULL)
      g_hash_table_replace(numbers, g_strdup(name), GUINT_TO_POINTER(n + 1));
    if (given != NULL || *err != EEXIST) return given;
  }
  g_hash_table_replace(numbers, g_strdup(name), GUINT_TO_POINTER(n));
  for (int i = 0; i < UNIQUE_TRIES; i++) {
    g_snprintf(suffix, sizeof suffix, "-%08x%08x", g_random_int(),
               g_random_int());
    char *given = try_variant(name, suffix, try_name, data, err);
    if (given != NULL || *err != EEXIST) return given;
  }
  return NULL;
}
