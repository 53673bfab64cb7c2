# Single-point faults for scripts/mutation/run.py: (id, file, old, new).
# `old` must occur exactly once in its file. Each is a fault a hurried edit
# could make; a survivor is a behaviour no test holds.
I = 'src/reader/init.cpp'
H = 'src/reader/part_header.cpp'
C = 'src/reader/part_content.cpp'
R = 'src/request/reqinfo/reqinfo.cpp'
K = 'src/request/intake/intake.cpp'
S = 'src/request/intake/search.cpp'
SH = 'src/request/intake/search.h'
D = 'programs/mpread-upload/deliver.c'

MUTANTS = [
    # taking up the request
    ('I01', I, 'g_strcmp0(method.get(), "POST") != 0', 'g_ascii_strcasecmp(method.get(), "POST") != 0'),
    ('I02', I, 'boundary_len > mpread::max_boundary', 'boundary_len >= mpread::max_boundary'),
    ('I03', I, 'if (boundary == nullptr) return', 'if (boundary == nullptr && false) return'),
    ('I04', I, 'g_strconcat("\\r\\n", delimiter.get(), nullptr)', 'g_strconcat("\\n", delimiter.get(), nullptr)'),
    ('I05', I, 'if (g_strcmp0(delimiter.get(), head.get()) != 0)', 'if (strncmp(delimiter.get(), head.get(), 2) != 0)'),
    ('I06', I, 'if (mpread::state != nullptr) return TRUE;', ''),
    ('I07', I, '  g_free(s->end_marker);\n', ''),
    # the part header block
    ('H01', H, 'if (r == 0 || length == 0) break;', 'if (r == 0) break;'),
    ('H02', H, "if (len > from && line[len - 1] == '\\r') len--;", ''),
    ('H03', H, "while (len > from && (line[len - 1] == ' ' || line[len - 1] == '\\t')) len--;", ''),
    ('H04', H, 'size_t from = len >= n && memcmp(line, delimiter, n) == 0 ? n : 0;', 'size_t from = 0;'),
    ('H05', H, "return *line == ':';", "return true;"),
    ('H06', H, "while (*line == ' ' || *line == '\\t') line++;", ''),
    ('H07', H, 'const char *sep = slash > backslash ? slash : backslash;', 'const char *sep = slash != nullptr ? slash : backslash;'),
    ('H08', H, 'if (strcmp(base, ".") == 0 || strcmp(base, "..") == 0) return "";', ''),
    ('H09', H, "if (scratch[0] == '\\r' && scratch[1] == '\\n') break;", "if (scratch[0] == '\\r' || scratch[0] == '\\n') break;"),
    ('H10', H, 'if (slot.filled) return fail_part(error, duplicate);', ''),
    ('H11', H, "if (name == nullptr || *name == '\\0') return fail_part(error, Msg::no_name);", 'if (name == nullptr) return fail_part(error, Msg::no_name);'),
    ('H12', H, "if (*filename == '\\0') return fail_part(error, Msg::invalid_filename);", ''),
    ('H13', H, "if (mime != nullptr && *mime == '\\0')\n    return fail_part(error, Msg::invalid_mime);", ''),
    ('H14', H, 'if (s->position == BodyPosition::closed) return 0;', ''),
    ('H15', H, 'if (r < 0 && !intake_peek(scratch, 0, nullptr, nullptr))', 'if (false)'),
    ('H16', H, '    s->position = BodyPosition::closed;\n    return 0;', '    return 0;'),
    ('H17', H, '  s->at_content_start = 1;\n', ''),
    ('H18', H, '    s->position = BodyPosition::in_part_lines;\n    return fail_part_prefixed', '    return fail_part_prefixed'),
    ('H19', H, '? BodyPosition::between_parts\n                      : BodyPosition::in_content;', '? BodyPosition::in_content\n                      : BodyPosition::in_content;'),
    # the request component: header parsing and CGI variables
    ('R01', R, "return (c < 0x20 && c != '\\t') || c == 0x7f;", "return c < 0x20 && c != '\\t';"),
    ('R02', R, "return rest.empty() || rest.front() == ';';", 'return true;'),
    ('R03', R, "(s.front() == '\"' || s.front() == '\\\\')", "s.front() != 0"),
    ('R04', R, 'while (k < name.size() && same_letter(p[k], name[k])) k++;', 'while (k < name.size() && p[k] == name[k]) k++;'),
    ('R05', R, 'if (latin1)\n      w.out += g_unichar_to_utf8(c, w.out);', 'if (false)\n      w.out += g_unichar_to_utf8(c, w.out);'),
    ('R06', R, "    if (is_control(c)) {\n      w.out = start;", "    if (c == 0) {\n      w.out = start;"),
    ('R07', R, 'const bool two_follow = i + 2 < rest.size();', 'const bool two_follow = i + 1 < rest.size();'),
    ('R08', R, "          if (given.has(base)) {", "          if (false) {"),
    ('R09', R, "} else if (pass == 1 && !extended && !answered.has(name)) {", "} else if (pass == 1 && !extended) {"),
    ('R10', R, "    if (!names.add(name)) {\n      why = \"Parameter is given twice\";", "    if (!names.add(name) && false) {\n      why = \"Parameter is given twice\";"),
    ('R11', R, "    if (s.empty() || s.front() != '=') {", "    if (s.empty()) {"),
    ('R12', R, "if (value > (SIZE_MAX - digit) / 10) {", "if (false) {"),
    ('R13', R, "if (*p < '0' || *p > '9') {", "if (*p < '0') {"),
    ('R14', R, '  if (!check_text(view, error)) return FALSE;\n  size_t colon', '  size_t colon'),
    ('R15', R, "while (!s.empty() && is_space(s.back())) s.remove_suffix(1);", ''),
    ('R16', R, "if (base == 0 || name.front() == '\"') {", "if (base == 0) {"),
    ('R17', R, 'if (value == 0)\n    fail(', 'if (false)\n    fail('),
    # at most 64 parameters a header, repeats found by a hash of their letters
    ('R18', R, 'if (parsed.n_params == max_params) {', 'if (false) {'),
    ('R19', R, "h = (h ^ (b - 'A' < 26u ? b | 0x20u : b)) * 16777619u;", 'h = (h ^ b) * 16777619u;'),
    # part content
    ('C01', C, '} else if (n < 0 && errno == EINTR) {\n      continue;', '} else if (n < 0 && errno == EINTR) {\n      return false;'),
    ('C02', C, '      data += n;\n      len -= static_cast<size_t>(n);', '      len = 0;'),
    ('C03', C, '      if (r == 0) {\n        fail(error, Msg::content_unterminated);', '      if (false) {\n        fail(error, Msg::content_unterminated);'),
    ('C04', C, 'if (s->at_content_start == 0 && s->in_content == 0)', 'if (false)'),
    ('C05', C, 'if (fcntl(fd, F_GETFL) == -1 && errno == EBADF) {', 'if (false) {'),
    # the request-body buffer
    ('K01', K, '} while (n < 0 && errno == EINTR);', '} while (false);'),
    ('K02', K, '  want = std::min(want, left);\n', ''),
    ('K03', K, "  if (n == 0) {\n    // A client that dropped", "  if (false) {\n    // A client that dropped"),
    ('K04', K, "if (st.received == st.limit) st.exhausted = true;", ''),
    ('K05', K, "if (memchr(dest, '\\0', line_len) != nullptr) {", 'if (false) {'),
    ('K06', S, '    if (ka == 0) {\n      if (matches_at(s, p, a)) return a;', '    if (ka == 0) {\n      return a;'),
    ('K11', S, '  if (k == 0) {\n    if (matches_at(s, p, a)) return a;', '  if (k == 0) {\n    return a;'),
    ('K07', SH, 'if (n == 0 || p.shift[data[n - 1]] == p.len) return 0;', 'return 0;'),
    ('K08', K, 'return delivered == 0 && st.start == st.end && st.exhausted ? 0 : 1;', 'return delivered == 0 && st.start == st.end ? 0 : 1;'),
    ('K09', K, 'if (search.match_at == pos) break;  // standing at the match', 'break;'),
    ('K10', S, 'if (memcmp(c, p.text, tail) == 0) return tail;', 'if (memcmp(c, p.text, tail - 1) == 0) return tail;'),
    # a caller's buffer written past *length; a match known without its text
    ('K12', K, 'if (scratch && unread < search.pattern.len', 'if (unread < search.pattern.len'),
    ('K13', K, 'if (st.search != nullptr && strcmp(match, st.search->pattern.text) == 0)', 'if (st.search != nullptr)'),
    ('K14', K, 'if (st.search != nullptr && strcmp(match, st.search->pattern.text) == 0)', 'if (st.search != nullptr && match[0] == st.search->pattern.text[0])'),
    ('K16', K, 'if (other.pattern.text == nullptr || strcmp(match, other.pattern.text) != 0)', 'if (other.pattern.text == nullptr)'),
    ('K17', K, 'size_t n = std::min(until - pos, size - delivered);', 'size_t n = until - pos;'),
    # the search: a match whose first byte recurs goes by its prefix function
    ('K15', S, 'while (k > 0 && p[i] != t[k]) k = s.border[k - 1];', 'if (k > 0 && p[i] != t[k]) k = 0;'),
    # the handler answers early and goes, the body unread: Apache and nginx
    # lose the answer (only their columns show it)
    ('D01', D, 'if (!s->cgi || s->drain_bytes == 0 || isatty(0)) return DRAIN_NONE;', 'return DRAIN_NONE;',
     r'e2e\.(apache|nginx)'),
]
