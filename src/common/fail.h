// How the two request components fail: the error (when the caller asked
// for one) in the component's domain, and FALSE, so that their operations
// read `return fail(...)`. The reader raises from its message list, by the
// same rule: its fail() returns FALSE too, and its helpers for the 1, 0, -1
// operations, which return -1, are named fail_part.
#ifndef MPREAD_COMMON_FAIL_H
#define MPREAD_COMMON_FAIL_H

#include <glib.h>

namespace {

gboolean fail(GError **error, GQuark domain, int code, const char *fmt, ...)
    G_GNUC_PRINTF(4, 5);

gboolean fail(GError **error, GQuark domain, int code, const char *fmt, ...) {
  if (error != nullptr) {
    va_list ap;
    va_start(ap, fmt);
    g_propagate_error(error, g_error_new_valist(domain, code, fmt, ap));
    va_end(ap);
  }
  return FALSE;
}

}  // namespace

#endif
