// Header lines, the request's content type and its length, as an attacker
// writes them. Whatever the text: a value or a clean error; no stored name
// ends in '*' (NAME* answers as NAME) and the lookup finds every name;
// nothing parsed holds a control character or is longer than twice the
// text (a Latin-1 NAME* value doubles in UTF-8, nothing else grows); what
// was parsed, written out again, parses the same; lengths are exactly what
// a checked decimal parse gives.
//
// Input: [what] then the text. what % 3: 0 a part header line,
// 1 CONTENT_TYPE, 2 CONTENT_LENGTH.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "fuzz_io.h"
#include "reqinfo.h"

namespace {

struct Param {
  std::string name, value;
  bool operator==(const Param &) const = default;
};
struct Parsed {
  std::string value;
  std::vector<Param> params;
  bool operator==(const Parsed &) const = default;
};

bool clean(const std::string &s) {
  return std::none_of(s.begin(), s.end(), [](unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7f;
  });
}

// The parameter block is the component's own (name NUL value NUL ...);
// walking it here checks every parameter, not only those the reader asks for.
Parsed read_record(const ReqinfoHeader &rec, size_t text_len) {
  FUZZ_CHECK(rec.value != nullptr && strlen(rec.value) <= text_len);
  Parsed out{rec.value, {}};
  FUZZ_CHECK(clean(out.value));
  const char *p = rec.params;
  for (size_t i = 0; i < rec.n_params; i++) {
    const char *value = p + strlen(p) + 1;
    Param param{p, value};
    p = value + param.value.size() + 1;
    FUZZ_CHECK(!param.name.empty() && param.name.back() != '*');
    FUZZ_CHECK(param.name.size() + param.value.size() < 2 * text_len);
    FUZZ_CHECK(clean(param.name) && clean(param.value));
    // Names are unique whatever their case: the lookup finds this one.
    FUZZ_CHECK(reqinfo_get_header_param_value(&rec, param.name.c_str()) == value);
    out.params.push_back(param);
  }
  return out;
}

void refused(GError *err) {
  fuzzio::Outcome o;
  o.take_error(err, true);
  FUZZ_CHECK(o.domain == REQINFO_ERROR);
}

void header_line(const std::string &line) {
  ReqinfoHeader rec{};
  GError *err = nullptr;
  if (!reqinfo_parse_header(line.c_str(), &rec, &err)) {
    refused(err);
    FUZZ_CHECK(rec.value == nullptr && rec.params == nullptr && rec.n_params == 0);
    return;
  }
  FUZZ_CHECK(err == nullptr && line.find(':') != std::string::npos);
  Parsed first = read_record(rec, line.size());
  // Parsed again into the same, still filled record: the old fill is freed.
  std::string again = "X-Again: " + first.value;
  for (const Param &param : first.params)
    again += "; " + param.name + "=" + fuzzio::quoted(param.value);
  FUZZ_CHECK(reqinfo_parse_header((again + "\r\n").c_str(), &rec, &err));
  FUZZ_CHECK(read_record(rec, again.size()) == first);
  reqinfo_release_header(&rec);
  reqinfo_release_header(&rec);
}

void content_type(const std::string &text) {
  setenv("CONTENT_TYPE", text.c_str(), 1);
  ReqinfoHeader rec{};
  GError *err = nullptr;
  if (reqinfo_get_content_type(&rec, &err))
    read_record(rec, text.size());
  else
    refused(err);
  reqinfo_release_header(&rec);
}

void content_length(const std::string &text) {
  setenv("CONTENT_LENGTH", text.c_str(), 1);
  // Plain decimal digits that fit size_t, nothing else.
  size_t want = 0;
  for (char c : text)
    if (c < '0' || c > '9' || __builtin_mul_overflow(want, 10, &want) ||
        __builtin_add_overflow(want, static_cast<size_t>(c - '0'), &want)) {
      want = 0;
      break;
    }
  GError *err = nullptr;
  size_t got = reqinfo_get_content_length(&err);
  FUZZ_CHECK(got == want);
  if (got == 0) refused(err);
  else FUZZ_CHECK(err == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // Lines reach the parser as C strings, and the environment holds no NUL.
  const char *text = reinterpret_cast<const char *>(data) + 1;
  const std::string s(text, strnlen(text, size - 1));
  switch (data[0] % 3) {
    case 0: header_line(s); break;
    case 1: content_type(s); break;
    default: content_length(s); break;
  }
  return 0;
}
