// Header lines as an attacker writes them (the request's content type goes
// through the same parser). Whatever the text: a value or a clean error; no
// stored name ends in '*' (NAME* answers as NAME) and the lookup finds every
// name; nothing parsed holds a control character or is longer than twice the
// text (a Latin-1 NAME* value doubles in UTF-8, nothing else grows); what
// was parsed, written out again, parses the same.
//
// Input: the line.
#include <vector>

#include "model.h"

namespace {

bool clean(const std::string &s) {
  return std::none_of(s.begin(), s.end(), [](unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7f;
  });
}

// The value, then each parameter's name and value. The parameter block is
// the component's own (name NUL value NUL ...); walking it here checks every
// parameter, not only those the reader asks for.
std::vector<std::string> read_record(const ReqinfoHeader &rec,
                                     size_t text_len) {
  assert(rec.value != nullptr && strlen(rec.value) <= text_len &&
         clean(rec.value));
  std::vector<std::string> out{rec.value};
  for (const char *p = rec.params; out.size() < 1 + 2 * rec.n_params;) {
    const std::string name = p;
    const char *value = p + name.size() + 1;
    assert(!name.empty() && name.back() != '*' && clean(name) && clean(value));
    assert(name.size() + strlen(value) < 2 * text_len);
    // Names are unique whatever their case: the lookup finds this one.
    assert(reqinfo_get_header_param_value(&rec, name.c_str()) == value);
    out.insert(out.end(), {name, value});
    p = value + strlen(value) + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // Lines reach the parser as C strings.
  const std::string line(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), size));
  ReqinfoHeader rec{};
  GError *err = nullptr;
  if (!reqinfo_parse_header(line.c_str(), &rec, &err)) {
    assert(Outcome{}.take_error(err, true).domain == REQINFO_ERROR);
    assert(rec.value == nullptr && rec.params == nullptr && rec.n_params == 0);
    return 0;
  }
  assert(err == nullptr && line.find(':') != std::string::npos);
  const std::vector<std::string> first = read_record(rec, line.size());
  // Parsed again into the same, still filled record: the old fill is freed.
  std::string again = "X-Again: " + first[0];
  for (size_t i = 1; i < first.size(); i += 2)
    again += "; " + first[i] + "=" + quoted(first[i + 1]);
  assert(reqinfo_parse_header((again + "\r\n").c_str(), &rec, &err));
  assert(read_record(rec, again.size()) == first);
  reqinfo_release_header(&rec);
  reqinfo_release_header(&rec);
  return 0;
}
