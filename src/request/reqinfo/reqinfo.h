/* reqinfo: the request's metadata from the CGI environment (REQUEST_METHOD,
 * CONTENT_LENGTH, CONTENT_TYPE) and the parsing of header lines of the form
 *   Name: value; param=token; param="quoted \"string\""
 * Header and parameter names match without regard to ASCII case. */
#ifndef REQINFO_H
#define REQINFO_H

#include <stddef.h>
#include <glib.h>

G_BEGIN_DECLS

#if defined(__GNUC__)
#define REQINFO_API __attribute__((visibility("default")))
#else
#define REQINFO_API
#endif

#define REQINFO_ERROR (g_quark_from_static_string("reqinfo"))

typedef enum {
  REQINFO_ERROR_MISSING = 1, /* variable not set */
  REQINFO_ERROR_INVALID,     /* variable set but unusable */
  REQINFO_ERROR_PARSE        /* header text malformed */
} ReqinfoError;

/* A parsed header. Zero it before the first fill; what the fields point to
 * belongs to the component until reqinfo_release_header(). */
typedef struct {
  char *value;       /* value without parameters (for Content-Type the
                        media type), or NULL */
  char *params;      /* private: name NUL value NUL ... */
  size_t n_params;   /* private */
  void *reserved;    /* private */
} ReqinfoHeader;

/* REQUEST_METHOD, newly allocated (g_free it); NULL with error if unset. */
REQINFO_API char *reqinfo_get_request_method(GError **error);

/* CONTENT_LENGTH as plain decimal digits. 0 with error set when it is
 * absent, empty, not all digits, zero, or larger than SIZE_MAX. */
REQINFO_API size_t reqinfo_get_content_length(GError **error);

/* Parses CONTENT_TYPE (value and parameters) into record; FALSE with error
 * when it is unset or malformed. */
REQINFO_API gboolean reqinfo_get_content_type(ReqinfoHeader *record,
                                              GError **error);

/* The value of parameter name ("" when present with an empty value), quoting
 * removed, borrowed from record; NULL when absent. An extended parameter
 * name*=charset'language'percent-encoded (charset UTF-8 or ISO-8859-1, any
 * case) answers for name, in UTF-8, and wins over a plain name given too.
 * When it cannot be decoded (another charset, a missing quote, a bad %XX, a
 * decoded control character) the plain name answers, or "" without one. */
REQINFO_API const char *reqinfo_get_header_param_value(
    const ReqinfoHeader *record, const char *name);

/* Parses one header line as read from a body (name, colon, value,
 * parameters, optional CR LF or LF). Fails on a missing colon, a parameter
 * given twice (name and name* are two; name* twice is a repeat), more than
 * 64 parameters, a parameter without '=', an unterminated quote, or control
 * characters (bytes below 0x20 but tab, and 0x7F); bytes from 0x80 up are
 * text. In a quoted string only \" and \\ are escapes: any other backslash
 * stays, so C:\dir\a.txt comes back intact; and a quote ends it only when
 * blanks and then ';' or the end follow, so say "hi" .txt in quotes comes
 * back whole. */
REQINFO_API gboolean reqinfo_parse_header(const char *line,
                                          ReqinfoHeader *record,
                                          GError **error);

/* Frees what record's fields point to (not the record) and zeroes them;
 * accepts NULL, a record never filled and one whose fill failed. */
REQINFO_API void reqinfo_release_header(ReqinfoHeader *record);

G_END_DECLS

#endif /* REQINFO_H */
