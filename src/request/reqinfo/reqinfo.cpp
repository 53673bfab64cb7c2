#include "reqinfo.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "../../common/fail.h"

namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

bool is_control(unsigned char c) {
  return (c < 0x20 && c != '\t') || c == 0x7f;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

// string_view::substr may throw, which would pull in the C++ runtime.
std::string_view head(std::string_view s, size_t n) {
  return {s.data(), n < s.size() ? n : s.size()};
}
std::string_view from(std::string_view s, size_t n) {
  return n < s.size() ? std::string_view{s.data() + n, s.size() - n}
                      : std::string_view{};
}

void skip_space(std::string_view &s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
}

// Writes strings into the record's single allocation: value first, then
// name/value pairs, each NUL-terminated. Unescaping only shrinks text and
// every parameter costs at least two input bytes ("a="), so twice the input
// length bounds the output.
struct Writer {
  char *out;
  char *put(std::string_view s) {
    char *at = out;
    // An empty view may have no data pointer, and memcpy from null is
    // undefined even for zero bytes.
    if (!s.empty()) memcpy(out, s.data(), s.size());
    out += s.size();
    *out++ = '\0';
    return at;
  }
};

// A quote inside a quoted value closes it only where blanks and then ';' or
// the end of the value follow: browsers before about 2012 send the quotes
// of a file name unescaped, and their files must not be lost.
bool closes_quoted(std::string_view rest) {
  skip_space(rest);
  return rest.empty() || rest.front() == ';';
}

// Reads a quoted string starting after its opening quote. Only \" and a
// doubled backslash are escapes: browsers send Windows paths such as
// C:\Users\x\a.txt without escaping them, and they must come back intact.
bool take_quoted(std::string_view &s, Writer &w) {
  while (!s.empty()) {
    char c = s.front();
    s.remove_prefix(1);
    if (c == '"' && closes_quoted(s)) {
      *w.out++ = '\0';
      return true;
    }
    if (c == '\\' && !s.empty() && (s.front() == '"' || s.front() == '\\')) {
      c = s.front();
      s.remove_prefix(1);
    }
    *w.out++ = c;
  }
  return false;
}

// Equal but for the case of ASCII letters. False for a NUL against any other
// byte, so that a walk stops at the end of a name.
bool same_letter(char a, char b) {
  if (a == b) return true;
  const auto lower = static_cast<unsigned char>(a | 0x20);
  return lower == static_cast<unsigned char>(b | 0x20) &&
         static_cast<unsigned char>(lower - 'a') < 26;
}

// Each name compared as it is walked, in one pass, not measured first.
const char *find_param(const ReqinfoHeader *record, std::string_view name) {
  const char *p = record->params;
  for (size_t i = 0; i < record->n_params; i++) {
    size_t k = 0;
    while (k < name.size() && same_letter(p[k], name[k])) k++;
    if (k == name.size() && p[k] == '\0') return p + k + 1;
    p += k;
    p += strlen(p) + 1;  // the rest of the name
    p += strlen(p) + 1;  // the value
  }
  return nullptr;
}

bool equals_nocase(std::string_view s, std::string_view t) {
  return s.size() == t.size() &&
         g_ascii_strncasecmp(s.data(), t.data(), s.size()) == 0;
}

// Browsers send at most three parameters a header. The cap bounds what a
// header's parameters cost, however their names are chosen.
constexpr size_t max_params = 64;

// Parameter names, each found again by a hash of its letters in about one
// probe: checking every name against all before it made a line of 1,000
// parameters cost half a million compares. Most headers carry one
// parameter: the table is built from the second name on.
class NameSet {
 public:
  // False, and nothing added, when the name is already there.
  bool add(std::string_view name) {
    if (count_ > 0) {
      if (count_ == 1) build();
      const uint32_t h = hash(name);
      size_t i = h;
      for (; slot_[i %= slots] != 0; i++)
        if (same(slot_[i] - 1, name, h)) return false;
      hashes_[count_] = h;
      slot_[i] = static_cast<uint8_t>(count_ + 1);
    }
    text_[count_] = name.data();
    size_[count_] = name.size();
    count_++;
    return true;
  }
  bool has(std::string_view name) const {
    if (count_ < 2)
      return count_ == 1 && equals_nocase({text_[0], size_[0]}, name);
    const uint32_t h = hash(name);
    for (size_t i = h; slot_[i %= slots] != 0; i++)
      if (same(slot_[i] - 1, name, h)) return true;
    return false;
  }

 private:
  static constexpr size_t slots = 2 * max_params;  // never more than half full
  // FNV-1a over the name with ASCII letters in lower case, as names compare.
  static uint32_t hash(std::string_view name) {
    uint32_t h = 2166136261u;
    for (char c : name) {
      const uint32_t b = static_cast<unsigned char>(c);
      h = (h ^ (b - 'A' < 26u ? b | 0x20u : b)) * 16777619u;
    }
    return h;
  }
  bool same(size_t k, std::string_view name, uint32_t h) const {
    return hashes_[k] == h && equals_nocase({text_[k], size_[k]}, name);
  }
  void build() {
    memset(slot_, 0, sizeof slot_);
    hashes_[0] = hash({text_[0], size_[0]});
    slot_[hashes_[0] % slots] = 1;
  }
  // Not string_view, whose constructor would fill every entry on each use.
  const char *text_[max_params];
  size_t size_[max_params];
  uint32_t hashes_[max_params];
  uint8_t slot_[slots];  // index into text_ plus one; 0: free
  size_t count_ = 0;
};

// Writes the text of an extended value (charset'language'percent-encoded)
// in UTF-8, NUL added. False, with nothing written, when the value cannot
// be used: an unknown charset, a missing quote, a bad %XX, or a decoded
// control character, which a plain value could not carry either.
bool decode_extended(std::string_view raw, Writer &w) {
  size_t quote = raw.find('\'');
  if (quote == std::string_view::npos) return false;
  std::string_view charset = head(raw, quote);
  std::string_view rest = from(raw, quote + 1);
  quote = rest.find('\'');
  if (quote == std::string_view::npos) return false;
  rest = from(rest, quote + 1);  // the language tag says nothing we use
  const bool latin1 = equals_nocase(charset, "ISO-8859-1");
  if (!latin1 && !equals_nocase(charset, "UTF-8")) return false;
  char *start = w.out;
  for (size_t i = 0; i < rest.size(); i++) {
    unsigned char c = static_cast<unsigned char>(rest[i]);
    if (c == '%') {
      const bool two_follow = i + 2 < rest.size();
      int high = two_follow ? g_ascii_xdigit_value(rest[i + 1]) : -1;
      int low = two_follow ? g_ascii_xdigit_value(rest[i + 2]) : -1;
      if (high < 0 || low < 0) {
        w.out = start;
        return false;
      }
      c = static_cast<unsigned char>(high * 16 + low);
      i += 2;
    }
    if (is_control(c)) {
      w.out = start;
      return false;
    }
    // Latin-1 bytes are the first 256 code points. Not g_convert: iconv
    // needs gconv modules for Latin-1, which small systems often leave out.
    // A byte becomes at most two, and the block has room for twice every
    // value.
    if (latin1)
      w.out += g_unichar_to_utf8(c, w.out);
    else
      *w.out++ = static_cast<char>(c);
  }
  *w.out++ = '\0';
  return true;
}

// Rewrites a record that has NAME* parameters so that each answers for
// NAME: decoded when usable; else NAME's own value answers if NAME was
// given, and "" if not, so that a file part whose name cannot be read says
// so rather than passing for a text field. Runs only for such records:
// plain ones keep the one pass. `given` holds the record's names.
void resolve_extended(ReqinfoHeader &parsed, size_t used,
                      const NameSet &given) {
  // A decoded value is at most twice its raw text (Latin-1 to UTF-8), and
  // every name loses its star.
  char *block = static_cast<char *>(g_malloc(2 * used + 2));
  Writer w{block};
  ReqinfoHeader out{};
  out.value = w.put(parsed.value);
  out.params = w.out;
  NameSet answered;
  // NAME* first, so that a plain NAME already answered for is left out.
  for (int pass = 0; pass < 2; pass++) {
    const char *p = parsed.params;
    for (size_t i = 0; i < parsed.n_params; i++) {
      std::string_view name(p), value(p + name.size() + 1);
      p = value.data() + value.size() + 1;
      const bool extended = name.back() == '*';
      if (pass == 0 && extended) {
        std::string_view base = head(name, name.size() - 1);
        char *at = w.out;
        w.put(base);
        if (!decode_extended(value, w)) {
          if (given.has(base)) {
            w.out = at;
            continue;
          }
          *w.out++ = '\0';
        }
        answered.add(base);
        out.n_params++;
      } else if (pass == 1 && !extended && !answered.has(name)) {
        w.put(name);
        w.put(value);
        out.n_params++;
      }
    }
  }
  g_free(parsed.value);
  parsed = out;
}

// Parses `value; name=value; name="quoted"` into record. On failure the
// record is left empty.
gboolean parse_value_and_params(std::string_view text, ReqinfoHeader *record,
                                GError **error) {
  char *block = static_cast<char *>(g_malloc(2 * text.size() + 2));
  Writer w{block};
  ReqinfoHeader parsed{};
  parsed.value = block;

  std::string_view s = text;
  skip_space(s);
  size_t semi = s.find(';');
  w.put(trim(head(s, semi)));
  s = from(s, semi);
  parsed.params = w.out;

  const char *why = nullptr;
  std::string_view bad_name;
  bool extended = false;
  NameSet names;
  while (!s.empty() && why == nullptr) {
    s.remove_prefix(1);  // the ';'
    skip_space(s);
    if (s.empty() || s.front() == ';') continue;  // empty parameter: ignored
    // Not find_first_of, which calls memchr on its set for every byte.
    size_t name_end = 0;
    while (name_end < s.size() && s[name_end] != '=' && s[name_end] != ';' &&
           !is_space(s[name_end]))
      name_end++;
    std::string_view name = head(s, name_end);
    s = from(s, name_end);
    bad_name = name;
    // NAME* is kept with one star (a** is a*) until the record is resolved.
    size_t base = name.size();
    while (base > 0 && name[base - 1] == '*') base--;
    if (base < name.size()) {
      name = head(name, base + 1);
      extended = true;
    }
    if (base == 0 || name.front() == '"') {
      why = "A parameter has no name";
      break;
    }
    skip_space(s);
    if (s.empty() || s.front() != '=') {
      why = "Parameter has no value";
      break;
    }
    s.remove_prefix(1);
    skip_space(s);
    if (parsed.n_params == max_params) {
      why = "Header has more than 64 parameters";
      break;
    }
    // Checked before writing so that the block holds each name once.
    if (!names.add(name)) {
      why = "Parameter is given twice";
      break;
    }
    w.put(name);
    parsed.n_params++;
    if (!s.empty() && s.front() == '"') {
      s.remove_prefix(1);
      if (!take_quoted(s, w)) {
        why = "Parameter has an unterminated quoted value";
        break;
      }
      skip_space(s);  // the quote closed only before blanks and ';' or the end
    } else {
      size_t value_end = s.find(';');
      w.put(trim(head(s, value_end)));
      s = from(s, value_end);
    }
  }
  if (why != nullptr) {
    g_free(block);
    return fail(error, REQINFO_ERROR, REQINFO_ERROR_PARSE, "%s: %.*s", why,
                static_cast<int>(bad_name.size()), bad_name.data());
  }
  if (extended)
    resolve_extended(parsed, static_cast<size_t>(w.out - block), names);
  *record = parsed;
  return TRUE;
}

// Without an early exit, so that the compiler can test many bytes at once:
// header text is nearly always clean, and this runs on every header line.
bool has_control_character(std::string_view text) {
  unsigned found = 0;
  for (char ch : text) {
    found |= static_cast<unsigned>(is_control(static_cast<unsigned char>(ch)));
  }
  return found != 0;
}

gboolean check_text(std::string_view text, GError **error) {
  if (!has_control_character(text)) return TRUE;
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (is_control(c))
      return fail(error, REQINFO_ERROR, REQINFO_ERROR_PARSE,
                  "Header contains the control character 0x%02x at byte %zu", c,
                  i);
  }
  return TRUE;
}

}  // namespace

extern "C" {

char *reqinfo_get_request_method(GError **error) {
  const char *method = getenv("REQUEST_METHOD");
  if (method == nullptr) {
    fail(error, REQINFO_ERROR, REQINFO_ERROR_MISSING,
         "REQUEST_METHOD is not set");
    return nullptr;
  }
  return g_strdup(method);
}

size_t reqinfo_get_content_length(GError **error) {
  const char *text = getenv("CONTENT_LENGTH");
  if (text == nullptr) {
    fail(error, REQINFO_ERROR, REQINFO_ERROR_MISSING,
         "CONTENT_LENGTH is not set");
    return 0;
  }
  if (*text == '\0') {
    fail(error, REQINFO_ERROR, REQINFO_ERROR_INVALID,
         "CONTENT_LENGTH is empty");
    return 0;
  }
  size_t value = 0;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') {
      fail(error, REQINFO_ERROR, REQINFO_ERROR_INVALID,
           "CONTENT_LENGTH is not a plain decimal number: \"%s\"", text);
      return 0;
    }
    size_t digit = static_cast<size_t>(*p - '0');
    // Checked, not wrapped: on a 32-bit system a 5 GB upload must be
    // refused, not read as a small body.
    if (value > (SIZE_MAX - digit) / 10) {
      fail(error, REQINFO_ERROR, REQINFO_ERROR_INVALID,
           "CONTENT_LENGTH %s is larger than this system's limit of %zu", text,
           static_cast<size_t>(SIZE_MAX));
      return 0;
    }
    value = value * 10 + digit;
  }
  if (value == 0)
    fail(error, REQINFO_ERROR, REQINFO_ERROR_INVALID,
         "CONTENT_LENGTH is 0: no body");
  return value;
}

gboolean reqinfo_get_content_type(ReqinfoHeader *record, GError **error) {
  if (record == nullptr)
    return fail(error, REQINFO_ERROR, REQINFO_ERROR_INVALID,
                "NULL header record");
  reqinfo_release_header(record);
  const char *text = getenv("CONTENT_TYPE");
  if (text == nullptr)
    return fail(error, REQINFO_ERROR, REQINFO_ERROR_MISSING,
                "CONTENT_TYPE is not set");
  std::string_view view(text);
  if (!check_text(view, error)) return FALSE;
  return parse_value_and_params(view, record, error);
}

const char *reqinfo_get_header_param_value(const ReqinfoHeader *record,
                                           const char *name) {
  if (record == nullptr || name == nullptr || record->params == nullptr)
    return nullptr;
  return find_param(record, name);
}

gboolean reqinfo_parse_header(const char *line, ReqinfoHeader *record,
                              GError **error) {
  if (record == nullptr || line == nullptr)
    return fail(error, REQINFO_ERROR, REQINFO_ERROR_INVALID,
                "NULL header line or record");
  reqinfo_release_header(record);
  std::string_view view(line);
  if (!view.empty() && view.back() == '\n') view.remove_suffix(1);
  if (!view.empty() && view.back() == '\r') view.remove_suffix(1);
  if (!check_text(view, error)) return FALSE;
  size_t colon = view.find(':');
  if (colon == std::string_view::npos)
    return fail(error, REQINFO_ERROR, REQINFO_ERROR_PARSE,
                "Header line has no colon");
  if (trim(head(view, colon)).empty())
    return fail(error, REQINFO_ERROR, REQINFO_ERROR_PARSE,
                "Header line has no name before its colon");
  return parse_value_and_params(from(view, colon + 1), record, error);
}

void reqinfo_release_header(ReqinfoHeader *record) {
  if (record == nullptr) return;
  g_free(record->value);  // params live in the same allocation
  *record = ReqinfoHeader{};
}

}  // extern "C"
