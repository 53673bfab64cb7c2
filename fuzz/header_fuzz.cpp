// Header lines, the request's content type and its length, as an attacker
// writes them. Whatever the text: a value or a clean error, never a crash;
// nothing parsed out of a line is longer than twice the line (a Latin-1
// NAME* value doubles in UTF-8, nothing else grows); what was parsed comes
// back the same when written out again and parsed once more.
//
// Input: [what] then the text. what % 3: 0 a part header line,
// 1 CONTENT_TYPE, 2 CONTENT_LENGTH.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_io.h"
#include "reqinfo.h"

namespace {

struct Param {
  std::string name, value;
};

struct Parsed {
  std::string value;
  std::vector<Param> params;
};

// The record's parameter block is the component's own (name NUL value NUL
// ...); walking it here lets every parameter be checked, not only the ones
// the reader asks for.
Parsed read_record(const ReqinfoHeader &rec) {
  Parsed out;
  FUZZ_CHECK(rec.value != nullptr);
  out.value = rec.value;
  const char *p = rec.params;
  for (size_t i = 0; i < rec.n_params; i++) {
    Param param{p, p + strlen(p) + 1};
    p += param.name.size() + 1 + param.value.size() + 1;
    FUZZ_CHECK(!param.name.empty());
    // Names are unique whatever their case: the lookup finds this one.
    FUZZ_CHECK(reqinfo_get_header_param_value(&rec, param.name.c_str()) ==
               p - param.value.size() - 1);
    out.params.push_back(param);
  }
  return out;
}

bool is_control(unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; }

void check_parsed(const Parsed &got, size_t text_len) {
  FUZZ_CHECK(got.value.size() <= text_len);
  for (const Param &p : got.params) {
    FUZZ_CHECK(p.name.size() + p.value.size() < 2 * text_len);
    FUZZ_CHECK(p.name.back() != '*');  // NAME* answers as NAME
    for (unsigned char c : p.name + p.value) FUZZ_CHECK(!is_control(c));
  }
  for (unsigned char c : got.value) FUZZ_CHECK(!is_control(c));
}

bool same(const Parsed &a, const Parsed &b) {
  if (a.value != b.value || a.params.size() != b.params.size()) return false;
  for (size_t i = 0; i < a.params.size(); i++)
    if (a.params[i].name != b.params[i].name ||
        a.params[i].value != b.params[i].value)
      return false;
  return true;
}

// Every parameter quoted, with the two escapes the parser knows.
std::string write_out(const Parsed &p) {
  std::string s = p.value;
  for (const Param &param : p.params) {
    s += "; " + param.name + "=\"";
    for (char c : param.value) {
      if (c == '"' || c == '\\') s += '\\';
      s += c;
    }
    s += '"';
  }
  return s;
}

void check_error(GError *err) {
  FUZZ_CHECK(err != nullptr);
  FUZZ_CHECK(err->domain == REQINFO_ERROR);
  FUZZ_CHECK(err->message != nullptr && err->message[0] != '\0');
  g_error_free(err);
}

void header_line(const std::string &line) {
  ReqinfoHeader rec{};
  GError *err = nullptr;
  if (!reqinfo_parse_header(line.c_str(), &rec, &err)) {
    check_error(err);
    FUZZ_CHECK(rec.value == nullptr && rec.params == nullptr &&
               rec.n_params == 0);
    reqinfo_release_header(&rec);
    return;
  }
  FUZZ_CHECK(err == nullptr);
  Parsed first = read_record(rec);
  check_parsed(first, line.size());
  FUZZ_CHECK(line.find(':') != std::string::npos);

  // Parsed again into the same, still filled record: the old fill is freed.
  std::string again = "X-Again: " + write_out(first) + "\r\n";
  FUZZ_CHECK(reqinfo_parse_header(again.c_str(), &rec, &err));
  FUZZ_CHECK(same(read_record(rec), first));
  reqinfo_release_header(&rec);
  reqinfo_release_header(&rec);
}

void content_type(const std::string &text) {
  setenv("CONTENT_TYPE", text.c_str(), 1);
  ReqinfoHeader rec{};
  GError *err = nullptr;
  if (!reqinfo_get_content_type(&rec, &err)) {
    check_error(err);
    reqinfo_release_header(&rec);
    return;
  }
  Parsed got = read_record(rec);
  check_parsed(got, text.size());
  const char *boundary = reqinfo_get_header_param_value(&rec, "BOUNDARY");
  if (boundary != nullptr) FUZZ_CHECK(strlen(boundary) < 2 * text.size());
  reqinfo_release_header(&rec);
}

void content_length(const std::string &text) {
  setenv("CONTENT_LENGTH", text.c_str(), 1);
  // Plain decimal digits that fit size_t, nothing else.
  size_t want = 0;
  bool ok = !text.empty();
  for (char c : text) {
    if (c < '0' || c > '9' ||
        __builtin_mul_overflow(want, 10, &want) ||
        __builtin_add_overflow(want, static_cast<size_t>(c - '0'), &want)) {
      ok = false;
      break;
    }
  }
  if (!ok) want = 0;
  GError *err = nullptr;
  size_t got = reqinfo_get_content_length(&err);
  FUZZ_CHECK(got == want);
  if (got == 0)
    check_error(err);
  else
    FUZZ_CHECK(err == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzio::init_glib_for_leak_checks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // Lines reach the parser as C strings, and the environment holds no NUL.
  const char *text = reinterpret_cast<const char *>(data) + 1;
  std::string s(text, strnlen(text, size - 1));
  switch (data[0] % 3) {
    case 0: header_line(s); break;
    case 1: content_type(s); break;
    default: content_length(s); break;
  }
  return 0;
}
