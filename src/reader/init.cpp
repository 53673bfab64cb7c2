// Taking up a request: method, length, boundary and first delimiter.
#include <string.h>

#include "../common/gptr.h"
#include "intake.h"
#include "reqinfo.h"
#include "state.h"

namespace mpread {

MpreadState *state = nullptr;

gboolean fail(GError **error, Msg msg, ...) {
  if (error != nullptr) {
    va_list ap;
    va_start(ap, msg);
    // The formats are the list's, each checked by the tests with its
    // arguments.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    g_propagate_error(error, g_error_new_valist(MPREAD_ERROR, message(msg).code,
                                                message(msg).text, ap));
#pragma GCC diagnostic pop
    va_end(ap);
  }
  return FALSE;
}

gboolean fail_prefixed(GError **error, Msg msg) {
  g_prefix_error(error, "%s", message(msg).text);
  return FALSE;
}

}  // namespace mpread

namespace {

using mpread::fail;
using mpread::Msg;

// Releases the content-type record on every return path, filled or not.
struct HeaderRecord {
  ReqinfoHeader record{};
  ~HeaderRecord() { reqinfo_release_header(&record); }
};

gboolean take_up_request(GError **error) {
  GPtr<char> method(reqinfo_get_request_method(error));
  if (!method) return FALSE;
  if (g_strcmp0(method.get(), "POST") != 0)
    return fail(error, Msg::unsupported_method);
  size_t length = reqinfo_get_content_length(error);
  if (length == 0) return FALSE;
  HeaderRecord content_type;
  if (!reqinfo_get_content_type(&content_type.record, error)) return FALSE;
  if (!intake_init(0, mpread::chunk_size, length, error)) return FALSE;

  const char *boundary =
      reqinfo_get_header_param_value(&content_type.record, "boundary");
  if (boundary == nullptr) return fail(error, Msg::no_boundary);
  size_t boundary_len = strlen(boundary);
  if (boundary_len > mpread::max_boundary)
    return fail(error, Msg::boundary_too_long,
                static_cast<unsigned>(mpread::max_boundary), boundary_len);

  GPtr<char> delimiter(g_strconcat("--", boundary, nullptr));
  size_t n = strlen(delimiter.get());
  GPtr<char> head(static_cast<char *>(g_malloc0(n + 1)));
  if (!intake_peek(head.get(), n, nullptr, error)) return FALSE;
  if (g_strcmp0(delimiter.get(), head.get()) != 0)
    return fail(error, Msg::bad_start);

  auto *created = static_cast<MpreadState *>(g_malloc0(sizeof(MpreadState)));
  created->delimiter = g_strdup(delimiter.get());
  // Made once: content is taken in many calls, each of which needs it.
  created->end_marker = g_strconcat("\r\n", delimiter.get(), nullptr);
  created->delimiter_len = n;
  created->position = BodyPosition::between_parts;
  mpread::state = created;
  return TRUE;
}

}  // namespace

extern "C" {

gboolean mpread_init(GError **error) {
  if (mpread::state != nullptr) return TRUE;
  return take_up_request(error);
}

void mpread_release(void) {
  MpreadState *s = mpread::state;
  if (s == nullptr) return;
  intake_release();
  g_free(s->delimiter);
  g_free(s->end_marker);
  g_free(s);
  mpread::state = nullptr;
}

}  // extern "C"
