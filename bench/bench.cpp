// The benchmark: builds seeded request bodies (cached), then runs the floor
// (a plain 4096-byte read/write copy) and the library's driver on each, as
// CGI processes with the body on descriptor 0, and prints what each costs.
// One table of workloads (see `workloads`); every section walks all of it.
//
// Sections (all by default):
//   --time       median wall and CPU time, rate, ratio to the floor, peak RSS
//   --callgrind  user-space instructions per body byte and per part, as the
//                slope between a small and a large body (start-up cancels)
//   --syscalls   read/write/other system calls of floor and library (strace)
//   --guest      guest instructions per body byte and per part of floor and
//                library built for another CPU, run under qemu user mode
//                (--guest-run "qemu-... -L ...", --guest-driver, --guest-floor)
// Options: --quick (small bodies, for a smoke run), --runs N, --only W1,W3
// (workloads by name), --cache DIR, --tmp DIR (where W4's files go; default
// /dev/shm).
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace {

[[noreturn]] void die(const std::string &what) {
  fprintf(stderr, "bench: %s\n", what.c_str());
  exit(1);
}

// ---------------------------------------------------------------- bodies

struct Rng {
  uint64_t s;
  uint64_t next() {  // splitmix64: fast, seedable, good enough for test data
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

// Writes a body and checks on the way that no part's content holds its end
// marker, which would silently cut a part short.
class BodyWriter {
 public:
  BodyWriter(const std::string &path, const std::string &boundary)
      : marker_("\r\n--" + boundary) {
    f_ = fopen(path.c_str(), "wb");
    if (f_ == nullptr) die("cannot write " + path);
    setvbuf(f_, nullptr, _IOFBF, 1 << 16);
  }
  void text(const std::string &s) { put(s.data(), s.size()); }
  void content(const char *p, size_t n) {
    // Look for the marker across the seam between pieces too.
    size_t keep = marker_.size() - 1;
    std::string seam = tail_ + std::string(p, std::min(n, keep));
    if (seam.find(marker_) != std::string::npos ||
        memmem(p, n, marker_.data(), marker_.size()) != nullptr)
      die("generated content holds the end marker");
    tail_.append(p + (n > keep ? n - keep : 0), std::min(n, keep));
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
    content_bytes += n;
    put(p, n);
  }
  void end_part() { tail_.clear(); }
  void close() {
    if (fclose(f_) != 0) die("write failed");
  }
  unsigned long long size = 0, content_bytes = 0;
  unsigned long parts = 0;

 private:
  void put(const char *p, size_t n) {
    if (fwrite(p, 1, n, f_) != n) die("write failed");
    size += n;
  }
  FILE *f_;
  std::string marker_, tail_;
};

std::string browser_boundary() {
  return "----WebKitFormBoundaryq7Mz3kP9xL2aV5bN";
}

// 70 characters, the longest allowed: the slowest for a search whose work
// grows with the boundary's length.
std::string long_boundary() {
  std::string b;
  Rng r{70};
  const char *alnum =
      "ABCDEFGHIJKLMNOPQRSTUVWXYabcdefghijklmnopqrstuvwxyz0123456789";
  while (b.size() < 69) b += alnum[r.below(strlen(alnum))];
  return b + "Z";  // the generator of W3 keeps 'Z' out of its filler
}

void file_part(BodyWriter &w, const std::string &b, const std::string &name,
               const std::string &filename) {
  w.text("--" + b + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"" + filename +
         "\"\r\nContent-Type: application/octet-stream\r\n\r\n");
  w.parts++;
}

void random_content(BodyWriter &w, Rng &r, unsigned long long n) {
  std::vector<char> buf(1 << 16);
  while (n > 0) {
    size_t k = static_cast<size_t>(std::min<unsigned long long>(n, buf.size()));
    for (size_t i = 0; i < k; i += 8) {
      uint64_t v = r.next();
      memcpy(buf.data() + i, &v, std::min<size_t>(8, k - i));
    }
    w.content(buf.data(), k);
    n -= k;
  }
}

// W1: one upload of random bytes.
void gen_w1(BodyWriter &w, const std::string &b, unsigned long long bytes) {
  Rng r{1};
  file_part(w, b, "upload", "random.bin");
  random_content(w, r, bytes);
  w.text("\r\n--" + b + "--\r\n");
}

// W2: many small text fields, 10 to 100 bytes each.
void gen_w2(BodyWriter &w, const std::string &b, unsigned long long fields) {
  Rng r{2};
  const char *words =
      "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,";
  for (unsigned long long i = 0; i < fields; i++) {
    char name[32];
    snprintf(name, sizeof name, "field%05llu", i);
    w.text("--" + b + "\r\nContent-Disposition: form-data; name=\"" + name +
           "\"\r\n\r\n");
    w.parts++;
    std::string v(10 + r.below(91), ' ');
    for (char &c : v) c = words[r.below(strlen(words))];
    w.content(v.data(), v.size());
    w.end_part();
    w.text("\r\n");
  }
  w.text("--" + b + "--\r\n");
}

// W3: content built to be slow for a delimiter search: dense CR LF pairs,
// lone CR and LF, and near-copies of the end marker (missing its last byte,
// one byte changed, or cut short). No piece but a near-copy holds '-' or
// the boundary's last character, so none completes a marker.
void gen_w3(BodyWriter &w, const std::string &b, unsigned long long bytes) {
  Rng r{3};
  file_part(w, b, "upload", "slow.bin");
  const std::string marker = "\r\n--" + b;
  const char *filler = "abcdefghijklmnopqrstuvwxyz0123456789 ";
  std::string out;
  out.reserve((1 << 16) + 128);
  unsigned long long left = bytes;
  while (left > 0) {
    size_t pick = r.below(100);
    if (pick < 30) {
      out += "\r\n";
    } else if (pick < 40) {
      out += '\r';
    } else if (pick < 50) {
      out += '\n';
    } else if (pick < 70) {
      for (size_t n = 1 + r.below(4); n > 0; n--)
        out += filler[r.below(strlen(filler))];
    } else if (pick < 80) {
      out.append(marker, 0, marker.size() - 1);
    } else if (pick < 95) {
      size_t at = out.size() + r.below(marker.size());
      out += marker;
      char c;
      // Never the boundary's last byte: a changed first byte would complete
      // a marker left one byte short just before.
      do c = static_cast<char>(r.next());
      while (c == out[at] || c == b.back());
      out[at] = c;
    } else {
      out.append(marker, 0, 1 + r.below(marker.size() - 1));
    }
    if (out.size() >= (1 << 16) || out.size() >= left) {
      size_t k =
          static_cast<size_t>(std::min<unsigned long long>(out.size(), left));
      w.content(out.data(), k);
      left -= k;
      out.erase(0, k);
    }
  }
  w.text("\r\n--" + b + "--\r\n");
}

// W4: many uploads of 32 KiB random bytes each.
void gen_w4(BodyWriter &w, const std::string &b, unsigned long long files) {
  Rng r{4};
  for (unsigned long long i = 0; i < files; i++) {
    char name[32];
    snprintf(name, sizeof name, "upload%04llu.bin", i);
    file_part(w, b, "files", name);
    random_content(w, r, 32 << 10);
    w.end_part();
    w.text("\r\n");
  }
  w.text("--" + b + "--\r\n");
}

// W5: parts whose Content-Disposition line is 4,090 bytes of about 1,000
// parameters of two characters, each a name of its own: a parser that
// checks every parameter against all before it makes half a million
// compares a line. A header takes at most 64 parameters: every part is
// refused, and the walk goes on to the next.
void gen_w5(BodyWriter &w, const std::string &b, unsigned long long bytes) {
  const char *chars = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string line = "Content-Disposition: form-data; name=\"f\"";
  for (size_t i = 0; line.size() + 4 <= 4088; i++)
    line += std::string(";") + chars[i / 36] + chars[i % 36] + "=";
  while (w.size < bytes) {
    w.text("--" + b + "\r\n" + line + "\r\n\r\nx\r\n");
    w.parts++;
  }
  w.text("--" + b + "--\r\n");
}

struct Body {
  std::string path, boundary;
  unsigned long long size = 0, content = 0;
  unsigned long parts = 0;
};

using Generator = void (*)(BodyWriter &, const std::string &,
                           unsigned long long);

// Made once and kept under the cache directory, named by what it holds. The
// generation runs in a child process so that its buffers never count in
// the benchmark's memory (see measure.c).
Body make_body(const std::string &cache, const char *kind, Generator gen,
               const std::string &boundary, unsigned long long param) {
  Body b;
  b.boundary = boundary;
  b.path = cache + "/" + kind + "-" + std::to_string(param) + ".body";
  std::string meta = b.path + ".meta";
  std::ifstream in(meta);
  if (!(in >> b.size >> b.content >> b.parts) || !fs::exists(b.path) ||
      fs::file_size(b.path) != b.size) {
    fprintf(stderr, "bench: generating %s\n", b.path.c_str());
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
      std::string tmp = b.path + ".tmp";
      BodyWriter w(tmp, boundary);
      gen(w, boundary, param);
      w.close();
      std::ofstream(meta + ".tmp")
          << w.size << ' ' << w.content_bytes << ' ' << w.parts << '\n';
      fs::rename(tmp, b.path);
      fs::rename(meta + ".tmp", meta);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      die("generating " + b.path + " failed");
    return make_body(cache, kind, gen, boundary, param);
  }
  return b;
}

// ------------------------------------------------------------- processes

struct Tools {
  std::string driver, floor, measure, tmp, cache;
  std::string guest_driver, guest_floor;
  std::vector<std::string> guest_run;  // the emulator and its options
};

void set_cgi_env(const Body &b) {
  setenv("REQUEST_METHOD", "POST", 1);
  setenv("CONTENT_LENGTH", std::to_string(b.size).c_str(), 1);
  setenv("CONTENT_TYPE",
         ("multipart/form-data; boundary=" + b.boundary).c_str(), 1);
}

// Runs argv with stdin, stdout and stderr from/to the given files; returns
// the exit status, or -1 when it did not exit normally.
int run(const std::vector<std::string> &args, const std::string &in,
        const std::string &out, const std::string &err) {
  std::vector<char *> argv;
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) die("cannot start " + args[0] + ": " + strerror(rc));
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string slurp(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string mib(unsigned long long bytes) {
  char s[32];
  if (bytes < (1 << 20))
    snprintf(s, sizeof s, "%.0f KiB", static_cast<double>(bytes) / 1024);
  else
    snprintf(s, sizeof s, "%.0f MiB", static_cast<double>(bytes) / (1 << 20));
  return s;
}

// One row of a slope table: each body with its count, then the count per
// body byte (after the floor's, when given) and per part.
void print_slope(const char *name, const Body &a, const Body &z, double ca,
                 double cz, double floor_per_byte = -1) {
  char part[32] = "-", sa[48], sz[48], fl[16] = "";
  if (z.parts != a.parts)
    snprintf(part, sizeof part, "%.0f",
             (cz - ca) / static_cast<double>(z.parts - a.parts));
  if (floor_per_byte >= 0) snprintf(fl, sizeof fl, " %12.3f", floor_per_byte);
  snprintf(sa, sizeof sa, "%s %.2fM", mib(a.size).c_str(), ca / 1e6);
  snprintf(sz, sizeof sz, "%s %.2fM", mib(z.size).c_str(), cz / 1e6);
  printf("%-26s %18s %18s%s %12.3f %12s\n", name, sa, sz, fl,
         (cz - ca) / static_cast<double>(z.size - a.size), part);
  fflush(stdout);
}

// ------------------------------------------------------------- workloads

enum class Unit { bytes, parts };
enum class Role {
  plain,
  reference,    // W1: also timed on its small body (peak RSS must not grow)
  adversarial,  // W3: its time per byte is set against the reference's
  refused       // W5: the same, and every part of it is refused
};

constexpr unsigned long long KiB = 1ULL << 10, MiB = 1ULL << 20;

// Sizes are in bytes or, for Unit::parts, in parts; each is {full, quick}.
struct Workload {
  const char *name;
  const char *kind;  // the cached bodies' name
  Generator gen;
  bool long_boundary;
  Unit unit;
  const char *mode, *arg;  // the driver's arguments; "files" gets a directory
  Role role;
  unsigned long long timed[2], small[2], large[2];  // time; callgrind's two
  unsigned long long guest[2];  // the large body under emulation
};

// One row a workload, in the order of Workload's fields.
// clang-format off
const Workload workloads[] = {
  {"W1 write_part_to_file",   "w1", gen_w1, false, Unit::bytes, "write",  "/dev/null", Role::reference,   {256 * MiB, 4 * MiB}, {1 * MiB, 64 * KiB}, {33 * MiB, 1 * MiB}, {8 * MiB, 1 * MiB}},
  {"W1 get_part_buffer 4096", "w1", gen_w1, false, Unit::bytes, "chunks", "4096",      Role::plain,       {256 * MiB, 4 * MiB}, {1 * MiB, 64 * KiB}, {33 * MiB, 1 * MiB}, {8 * MiB, 1 * MiB}},
  {"W2 fields, chunks 4096",  "w2", gen_w2, false, Unit::parts, "chunks", "4096",      Role::plain,       {20000, 2000},        {1000, 100},         {21000, 1100},       {5000, 1100}},
  {"W3 slow, write_part",     "w3", gen_w3, true,  Unit::bytes, "write",  "/dev/null", Role::adversarial, {64 * MiB, 2 * MiB},  {1 * MiB, 64 * KiB}, {17 * MiB, 1 * MiB}, {8 * MiB, 1 * MiB}},
  {"W4 32 KiB files",         "w4", gen_w4, false, Unit::parts, "files",  "",          Role::plain,       {2000, 100},          {100, 10},           {1100, 60},          {300, 60}},
  {"W5 header parameters",    "w5", gen_w5, false, Unit::bytes, "chunks", "4096",      Role::refused,     {64 * MiB, 2 * MiB},  {1 * MiB, 64 * KiB}, {17 * MiB, 1 * MiB}, {2 * MiB, 1 * MiB}},
};
// clang-format on

struct Run {
  const Tools &tools;
  bool quick;
  int runs;
  Body body(const Workload &w, const unsigned long long (&size)[2]) const {
    return make_body(tools.cache, w.kind, w.gen,
                     w.long_boundary ? long_boundary() : browser_boundary(),
                     size[quick]);
  }
};

std::string fresh_dir(const Tools &t) {
  std::string dir = t.tmp + "/out";
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

// The floor's and the driver's command lines; dir is a fresh directory.
std::vector<std::string> floor_cmd(const Tools &t, const Workload &w,
                                   const std::string &dir) {
  return {t.floor, strcmp(w.mode, "files") == 0 ? dir + "/body" : "/dev/null"};
}
std::vector<std::string> lib_cmd(const Tools &t, const Workload &w,
                                 const std::string &dir) {
  return {t.driver, w.mode, strcmp(w.mode, "files") == 0 ? dir : w.arg};
}

// The driver prints "parts N bytes M refused R": every run must have done
// the whole job.
void check_report(const Workload &w, const Body &b, const std::string &out,
                  const std::string &dir) {
  unsigned long parts = 0, refused = 0;
  unsigned long long bytes = 0;
  if (sscanf(out.c_str(), "parts %lu bytes %llu refused %lu", &parts, &bytes,
             &refused) != 3)
    die(std::string(w.name) + ": driver printed " + out);
  const unsigned long want_refused = w.role == Role::refused ? b.parts : 0;
  if (refused != want_refused)
    die(std::string(w.name) + ": " + std::to_string(refused) +
        " parts refused; expected " + std::to_string(want_refused));
  parts += refused;
  unsigned long long content = bytes;
  if (strcmp(w.mode, "files") == 0) {
    content = 0;
    for (const auto &e : fs::directory_iterator(dir)) content += e.file_size();
  }
  if (parts != b.parts ||
      (strcmp(w.mode, "write") != 0 && content != b.content))
    die(std::string(w.name) + ": " + std::to_string(parts) + " parts, " +
        std::to_string(content) + " bytes; expected " +
        std::to_string(b.parts) + ", " + std::to_string(b.content));
}

// ------------------------------------------------------------------ time

struct Sample {
  double wall = 0, cpu = 0;  // seconds
  double rss = 0;            // KiB
};

Sample timed(const Tools &t, const Body &b,
             const std::vector<std::string> &cmd) {
  set_cgi_env(b);
  std::string report = t.tmp + "/report", result = t.tmp + "/measure",
              err = t.tmp + "/stderr";
  std::vector<std::string> args = {t.measure, b.path, report, "--"};
  args.insert(args.end(), cmd.begin(), cmd.end());
  if (run(args, "/dev/null", result, err) != 0) die("measure failed");
  long long wall, user, sys;
  long rss;
  int code;
  std::string m = slurp(result);
  if (sscanf(m.c_str(), "%lld %lld %lld %ld %d", &wall, &user, &sys, &rss,
             &code) != 5)
    die("unreadable measurement: " + m);
  if (code != 0)
    die(cmd[0] + " exited with " + std::to_string(code) + ": " + slurp(err));
  return {static_cast<double>(wall) / 1e9,
          static_cast<double>(user + sys) / 1e6, static_cast<double>(rss)};
}

// Medians of floor and library, alternating who goes first.
struct Timing {
  Sample floor, lib;
};

Timing time_body(const Run &r, const Workload &w, const Body &b) {
  const Tools &t = r.tools;
  std::vector<double> v[6];  // floor wall, cpu, rss; library the same
  // Unmeasured first copy: the body comes from the page cache afterwards.
  timed(t, b, floor_cmd(t, w, fresh_dir(t)));
  for (int i = 0; i < r.runs; i++)
    for (int k = 0; k < 2; k++) {
      const bool lib = (k == 0) == (i % 2 == 1);
      const std::string dir = fresh_dir(t);
      Sample s = timed(t, b, lib ? lib_cmd(t, w, dir) : floor_cmd(t, w, dir));
      if (lib) check_report(w, b, slurp(t.tmp + "/report"), dir);
      double *into[] = {&s.wall, &s.cpu, &s.rss};
      for (int j = 0; j < 3; j++) v[(lib ? 3 : 0) + j].push_back(*into[j]);
    }
  return {{median(v[0]), median(v[1]), median(v[2])},
          {median(v[3]), median(v[4]), median(v[5])}};
}

void time_section(const Run &r, const std::vector<const Workload *> &rows) {
  printf(
      "\nTime: median of %d runs, floor and library alternating; body on "
      "fd 0 from a cached file\n\n",
      r.runs);
  printf("%-26s %8s %16s %16s %10s %10s %9s %9s\n", "workload", "body", "floor",
         "library", "wall ratio", "cpu ratio", "floor RSS", "lib RSS");
  double reference = 0;  // library seconds per byte
  std::vector<std::pair<const char *, double>> adversarial;
  for (const Workload *w : rows) {
    const Body b = r.body(*w, w->timed);
    const Timing m = time_body(r, *w, b);
    const bool parts = w->unit == Unit::parts;
    const double amount = parts ? static_cast<double>(b.parts)
                                : static_cast<double>(b.size) / 1e6;
    char rate[2][32];
    for (int i = 0; i < 2; i++)
      snprintf(rate[i], sizeof rate[i], parts ? "%.0f parts/s" : "%.0f MB/s",
               amount / (i ? m.lib.wall : m.floor.wall));
    printf("%-26s %8s %16s %16s %9.3fx %9.3fx %5.0f KiB %5.0f KiB\n", w->name,
           mib(b.size).c_str(), rate[0], rate[1], m.lib.wall / m.floor.wall,
           m.lib.cpu / m.floor.cpu, m.floor.rss, m.lib.rss);
    fflush(stdout);
    const double per_byte = m.lib.wall / static_cast<double>(b.size);
    if (w->role == Role::adversarial || w->role == Role::refused)
      adversarial.push_back({w->name, per_byte});
    if (w->role != Role::reference) continue;
    reference = per_byte;
    // The same program on a small upload: what the large one must not
    // exceed by more than a few pages.
    const Body small = r.body(*w, w->small);
    const Timing s = time_body(r, *w, small);
    printf("%-26s %8s peak RSS %.0f KiB (%s body: %+.0f KiB)\n", "",
           mib(small.size).c_str(), s.lib.rss, mib(b.size).c_str(),
           m.lib.rss - s.lib.rss);
  }
  if (reference > 0)
    for (const auto &[name, per_byte] : adversarial)
      printf("\n%.2s time per byte / W1's (write_part_to_file): %.3f", name,
             per_byte / reference);
  printf("\n");
  fs::remove_all(r.tools.tmp + "/out");
}

// -------------------------------------------------------------- callgrind

// Instructions inside the driver's read_form: init to release.
double instructions(const Run &r, const Workload &w, const Body &b) {
  const Tools &t = r.tools;
  set_cgi_env(b);
  const std::string dir = fresh_dir(t), out = t.tmp + "/callgrind.out",
                    report = t.tmp + "/report", err = t.tmp + "/stderr";
  std::vector<std::string> args = {"valgrind", "--tool=callgrind",
                                   "--toggle-collect=read_form",
                                   "--callgrind-out-file=" + out};
  for (const std::string &a : lib_cmd(t, w, dir)) args.push_back(a);
  if (run(args, b.path, report, err) != 0)
    die(std::string("callgrind run of ") + w.name + " failed: " + slurp(err));
  check_report(w, b, slurp(report), dir);
  // The last line reads "totals: N" (older valgrind: "summary: N").
  const std::string data = slurp(out);
  size_t at = data.rfind("totals:");
  if (at == std::string::npos) at = data.rfind("summary:");
  if (at == std::string::npos) die("no totals in " + out);
  return strtod(data.c_str() + data.find(':', at) + 1, nullptr);
}

void callgrind_section(const Run &r,
                       const std::vector<const Workload *> &rows) {
  printf(
      "\nInstructions: user space, callgrind, counted inside the driver's "
      "read_form (init to release);\nper byte and per part as the slope "
      "between the two body sizes, so fixed costs cancel\n\n");
  printf("%-26s %18s %18s %12s %12s\n", "workload", "small body", "large body",
         "instr/byte", "instr/part");
  for (const Workload *w : rows) {
    const Body a = r.body(*w, w->small), z = r.body(*w, w->large);
    const double ia = instructions(r, *w, a), iz = instructions(r, *w, z);
    print_slope(w->name, a, z, ia, iz);
  }
  fs::remove_all(r.tools.tmp + "/out");
}

// ------------------------------------------------------------------ guest

// Guest instructions of one run under qemu, whole process: from its log of
// translated blocks (in_asm: a block's instructions, printed before its
// first run) and of every block run (exec, with nochain so that none is
// skipped), keyed by the block's address in the translation cache.
double guest_instructions(const Tools &t, const Body &b,
                          const std::vector<std::string> &cmd) {
  set_cgi_env(b);
  const std::string log = t.tmp + "/qemu.log";
  std::vector<std::string> args = t.guest_run;
  for (const char *a : {"-d", "in_asm,exec,nochain", "-D"}) args.push_back(a);
  args.push_back(log);
  args.insert(args.end(), cmd.begin(), cmd.end());
  if (run(args, b.path, t.tmp + "/report", t.tmp + "/stderr") != 0)
    die("guest run failed: " + slurp(t.tmp + "/stderr"));
  std::ifstream lines(log);
  std::vector<std::pair<std::string, unsigned>> blocks;  // sorted by key
  double total = 0;
  long pending = -1;  // instructions of the block just translated
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("IN:", 0) == 0) {
      pending = 0;
    } else if (line.rfind("0x", 0) == 0) {
      if (pending >= 0) pending++;
    } else if (line.rfind("Trace ", 0) == 0) {
      const size_t at = line.find(": ") + 2;
      const std::string key = line.substr(at, line.find(' ', at) - at);
      auto it = std::lower_bound(
          blocks.begin(), blocks.end(), key,
          [](const auto &e, const std::string &k) { return e.first < k; });
      if (pending >= 0) {
        if (it == blocks.end() || it->first != key)
          it = blocks.insert(it, {key, 0});
        it->second = static_cast<unsigned>(pending);
        pending = -1;
      }
      if (it != blocks.end() && it->first == key) total += it->second;
    }
  }
  fs::remove(log);
  return total;
}

void guest_section(const Run &r, const std::vector<const Workload *> &rows) {
  printf(
      "\nGuest instructions (qemu user mode, %s): whole process, per body "
      "byte and per part\nas the slope between the two body sizes\n\n",
      r.tools.guest_run[0].c_str());
  printf("%-26s %18s %18s %12s %12s %12s\n", "workload", "small body",
         "large body", "floor/byte", "lib/byte", "lib/part");
  const Tools &t = r.tools;
  for (const Workload *w : rows) {
    const Body a = r.body(*w, w->small), z = r.body(*w, w->guest);
    const std::string dir = fresh_dir(t);
    const std::vector<std::string> floor = {t.guest_floor, "/dev/null"};
    const std::vector<std::string> lib = {
        t.guest_driver, w->mode, strcmp(w->mode, "files") == 0 ? dir : w->arg};
    const double fa = guest_instructions(t, a, floor),
                 fz = guest_instructions(t, z, floor);
    const double la = guest_instructions(t, a, lib);
    fs::remove_all(dir);
    fs::create_directories(dir);
    const double lz = guest_instructions(t, z, lib);
    check_report(*w, z, slurp(t.tmp + "/report"), dir);
    print_slope(w->name, a, z, la, lz,
                (fz - fa) / static_cast<double>(z.size - a.size));
  }
  fs::remove_all(t.tmp + "/out");
}

// --------------------------------------------------------------- syscalls

struct Calls {
  unsigned long reads = 0;   // read(2) or readv(2) on descriptor 0: the body
  unsigned long writes = 0;  // write(2) of content (not to stdout/stderr)
  unsigned long other = 0;   // every other system call, start-up included
};

Calls system_calls(const Tools &t, const Body &b,
                   const std::vector<std::string> &cmd) {
  set_cgi_env(b);
  const std::string out = t.tmp + "/strace.out";
  std::vector<std::string> args = {"strace", "-qq", "-o", out};
  args.insert(args.end(), cmd.begin(), cmd.end());
  if (run(args, b.path, t.tmp + "/report", t.tmp + "/stderr") != 0)
    die("strace run failed: " + slurp(t.tmp + "/stderr"));
  Calls c;
  std::ifstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("read(0,", 0) == 0 || line.rfind("readv(0,", 0) == 0)
      c.reads++;
    else if (line.rfind("write(", 0) == 0 && line.rfind("write(1,", 0) != 0 &&
             line.rfind("write(2,", 0) != 0)
      c.writes++;
    else
      c.other++;
  }
  return c;
}

void syscall_section(const Run &r, const std::vector<const Workload *> &rows) {
  printf(
      "\nSystem calls (strace): reads of the body (fd 0, read or readv), "
      "writes of "
      "content, all others (start-up included);\nthe library's others on "
      "its small body too: the same count means none per chunk\n\n");
  printf("%-26s %8s %18s %8s %18s %18s\n", "workload", "body", "read floor/lib",
         "reads", "write floor/lib", "other lib (small)");
  const Tools &t = r.tools;
  for (const Workload *w : rows) {
    const Body b = r.body(*w, w->timed), small = r.body(*w, w->small);
    const Calls f = system_calls(t, b, floor_cmd(t, *w, fresh_dir(t)));
    const Calls l = system_calls(t, b, lib_cmd(t, *w, fresh_dir(t)));
    const Calls s = system_calls(t, small, lib_cmd(t, *w, fresh_dir(t)));
    char reads[40], writes[40], other[40];
    snprintf(reads, sizeof reads, "%lu/%lu", f.reads, l.reads);
    snprintf(writes, sizeof writes, "%lu/%lu", f.writes, l.writes);
    snprintf(other, sizeof other, "%lu (%lu)", l.other, s.other);
    printf(
        "%-26s %8s %18s %+7.2f%% %18s %18s\n", w->name, mib(b.size).c_str(),
        reads,
        100.0 *
            (static_cast<double>(l.reads) / static_cast<double>(f.reads) - 1),
        writes, other);
    fflush(stdout);
  }
  fs::remove_all(t.tmp + "/out");
}

}  // namespace

int main(int argc, char **argv) {
  Tools t;
  t.cache = "bench/.cache";
  std::string tmp_parent, only;
  int runs = 5;
  bool quick = false, do_time = false, do_cg = false, do_sys = false,
       do_guest = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--driver")
      t.driver = value();
    else if (a == "--floor")
      t.floor = value();
    else if (a == "--measure")
      t.measure = value();
    else if (a == "--cache")
      t.cache = value();
    else if (a == "--tmp")
      tmp_parent = value();
    else if (a == "--runs")
      runs = std::max(1, atoi(value().c_str()));
    else if (a == "--quick")
      quick = true;
    else if (a == "--only")
      only = value();
    else if (a == "--time")
      do_time = true;
    else if (a == "--callgrind")
      do_cg = true;
    else if (a == "--syscalls")
      do_sys = true;
    else if (a == "--guest")
      do_guest = true;
    else if (a == "--guest-driver")
      t.guest_driver = value();
    else if (a == "--guest-floor")
      t.guest_floor = value();
    else if (a == "--guest-run") {
      std::istringstream words(value());
      for (std::string word; words >> word;) t.guest_run.push_back(word);
    } else
      die("unknown option " + a + " (see bench/run.sh)");
  }
  if (t.driver.empty() || t.floor.empty() || t.measure.empty())
    die("--driver, --floor and --measure are required");
  if (!do_time && !do_cg && !do_sys && !do_guest)
    do_time = do_cg = do_sys = true;
  if (do_guest &&
      (t.guest_run.empty() || t.guest_driver.empty() || t.guest_floor.empty()))
    die("--guest needs --guest-run, --guest-driver and --guest-floor");
  t.driver = fs::absolute(t.driver);
  t.floor = fs::absolute(t.floor);
  t.measure = fs::absolute(t.measure);
  fs::create_directories(t.cache);
  // Uploads land in RAM-backed storage on the small systems this serves; on a
  // disk, W4 would time the file system's creation of 2,000 files instead.
  if (tmp_parent.empty())
    tmp_parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                 : getenv("TMPDIR")            ? getenv("TMPDIR")
                                               : "/tmp";
  std::string tmpl = tmp_parent + "/mpread-bench.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) die("cannot make a temporary directory");
  t.tmp = tmpl;

  // Workloads whose name begins with one of the --only words.
  std::vector<const Workload *> rows;
  for (const Workload &w : workloads) {
    std::istringstream words(only.empty() ? std::string("W") : only);
    for (std::string word; std::getline(words, word, ',');)
      if (!word.empty() && std::string(w.name).rfind(word, 0) == 0) {
        rows.push_back(&w);
        break;
      }
  }
  const Run r{t, quick, quick ? std::min(runs, 3) : runs};
  if (do_time) time_section(r, rows);
  if (do_cg) callgrind_section(r, rows);
  if (do_sys) syscall_section(r, rows);
  if (do_guest) guest_section(r, rows);
  fs::remove_all(t.tmp);
  return 0;
}
