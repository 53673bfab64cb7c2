// The benchmark: builds seeded request bodies (cached), then runs the floor
// (a plain 4096-byte read/write copy) and the library's driver on each, as
// CGI processes with the body on descriptor 0, and prints what each costs.
//
// Sections (all by default):
//   --time       median wall and CPU time, rate, ratio to the floor, peak RSS
//   --callgrind  user-space instructions per body byte and per part, as the
//                slope between a small and a large body (start-up cancels)
//   --syscalls   read/write/other system calls of floor and library (strace)
// Options: --quick (small bodies, for a smoke run), --runs N, --only W1,W3
// (workloads by name), --profile (top functions of each callgrind run),
// --cache DIR, --tmp DIR (where W4's files go; default /dev/shm).
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
#include <functional>
#include <sstream>
#include <string>
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

std::string browser_boundary() { return "----WebKitFormBoundaryq7Mz3kP9xL2aV5bN"; }

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
  const char *words = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,";
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
      do c = static_cast<char>(r.next()); while (c == out[at] || c == b.back());
      out[at] = c;
    } else {
      out.append(marker, 0, 1 + r.below(marker.size() - 1));
    }
    if (out.size() >= (1 << 16) || out.size() >= left) {
      size_t k = static_cast<size_t>(std::min<unsigned long long>(out.size(), left));
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
Body body(const std::string &cache, const char *kind, Generator gen,
          const std::string &boundary, unsigned long long param) {
  Body b;
  b.boundary = boundary;
  b.path = cache + "/" + kind + "-" + std::to_string(param) + ".body";
  std::string meta = b.path + ".meta";
  std::ifstream in(meta);
  if (!(in >> b.size >> b.content >> b.parts) ||
      !fs::exists(b.path) || fs::file_size(b.path) != b.size) {
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
    return body(cache, kind, gen, boundary, param);
  }
  return b;
}

// ------------------------------------------------------------- processes

struct Tools {
  std::string driver, floor, measure, tmp;
};

void set_cgi_env(const Body &b) {
  setenv("REQUEST_METHOD", "POST", 1);
  setenv("CONTENT_LENGTH", std::to_string(b.size).c_str(), 1);
  setenv("CONTENT_TYPE",
         ("multipart/form-data; boundary=" + b.boundary).c_str(), 1);
}

// Runs argv with stdin and stdout from/to the given files; returns the exit
// status, or -1 when it did not exit normally.
int run(const std::vector<std::string> &args, const std::string &in,
        const std::string &out, const std::string &err = "/dev/null") {
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

struct Sample {
  double wall = 0, cpu = 0;  // seconds
  long rss = 0;              // KiB
};

// One timed run; `check` looks at the program's report.
Sample timed(const Tools &t, const Body &b, const std::vector<std::string> &cmd,
             const std::function<void(const std::string &)> &check) {
  set_cgi_env(b);
  std::string report = t.tmp + "/report", result = t.tmp + "/measure";
  std::vector<std::string> args = {t.measure, b.path, report, "--"};
  args.insert(args.end(), cmd.begin(), cmd.end());
  std::string err = t.tmp + "/stderr";
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
  check(slurp(report));
  return {static_cast<double>(wall) / 1e9,
          static_cast<double>(user + sys) / 1e6, rss};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ------------------------------------------------------------- workloads

enum class Unit { bytes, parts };

struct Row {
  std::string name;
  Body big, small;  // small: for the callgrind slope and the RSS reference
  std::vector<std::string> driver_args;  // after the driver's path
  bool into_dir = false;  // content goes to files in a fresh directory
  Unit unit = Unit::bytes;
};

void check_report(const Row &row, const Body &b, const std::string &out,
                  const std::string &dir) {
  unsigned long parts = 0;
  unsigned long long bytes = 0;
  if (sscanf(out.c_str(), "parts %lu bytes %llu", &parts, &bytes) != 2)
    die(row.name + ": driver printed " + out);
  if (parts != b.parts)
    die(row.name + ": " + std::to_string(parts) + " parts read, " +
        std::to_string(b.parts) + " expected");
  if (row.driver_args[0] == "chunks" && bytes != b.content)
    die(row.name + ": " + std::to_string(bytes) + " bytes read, " +
        std::to_string(b.content) + " expected");
  if (row.into_dir) {
    unsigned long long total = 0;
    for (const auto &e : fs::directory_iterator(dir)) total += e.file_size();
    if (total != b.content)
      die(row.name + ": " + std::to_string(total) + " bytes in files, " +
          std::to_string(b.content) + " expected");
  }
}

std::vector<std::string> lib_cmd(const Tools &t, const Row &row,
                                 const std::string &dir) {
  std::vector<std::string> cmd = {t.driver, row.driver_args[0],
                                  row.into_dir ? dir : row.driver_args[1]};
  return cmd;
}

std::string fresh_dir(const Tools &t) {
  std::string dir = t.tmp + "/out";
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir;
}

struct Timing {
  double floor_wall, floor_cpu, lib_wall, lib_cpu;
  long floor_rss, lib_rss;
};

Timing time_row(const Tools &t, const Row &row, const Body &b, int runs) {
  std::vector<double> fw, fc, lw, lc, fr, lr;
  auto no_check = [](const std::string &) {};
  // Unmeasured first copy: the body comes from the page cache afterwards,
  // for floor and library alike.
  timed(t, b, {t.floor, "/dev/null"}, no_check);
  for (int i = 0; i < runs; i++) {
    // Alternate who goes first, so that neither always follows the other.
    for (int k = 0; k < 2; k++) {
      bool lib = (k == 0) == (i % 2 == 1);
      std::string dir = fresh_dir(t);
      if (lib) {
        Sample s = timed(t, b, lib_cmd(t, row, dir), [&](const std::string &o) {
          check_report(row, b, o, dir);
        });
        lw.push_back(s.wall), lc.push_back(s.cpu), lr.push_back(s.rss);
      } else {
        std::string out = row.into_dir ? dir + "/body" : "/dev/null";
        Sample s = timed(t, b, {t.floor, out}, no_check);
        fw.push_back(s.wall), fc.push_back(s.cpu), fr.push_back(s.rss);
      }
    }
  }
  fs::remove_all(t.tmp + "/out");
  // Peak RSS moves by a few dozen pages from run to run (shared-library
  // pages mapped around each fault): the median, like the times.
  return {median(fw), median(fc), median(lw), median(lc),
          static_cast<long>(median(fr)), static_cast<long>(median(lr))};
}

std::string mib(unsigned long long bytes) {
  char s[32];
  snprintf(s, sizeof s, "%.0f MiB", static_cast<double>(bytes) / (1 << 20));
  if (bytes < (1 << 20))
    snprintf(s, sizeof s, "%.0f KiB", static_cast<double>(bytes) / 1024);
  return s;
}

void time_section(const Tools &t, std::vector<Row> &rows, int runs) {
  printf("\nTime: median of %d runs, floor and library alternating; body on fd 0 "
         "from a cached file\n\n",
         runs);
  printf("%-26s %8s %14s %14s %11s %10s %10s %10s\n", "workload", "body",
         "floor", "library", "wall ratio", "cpu ratio", "floor RSS",
         "lib RSS");
  double w1_per_byte = 0, w3_per_byte = 0;
  long w1_rss = 0;
  for (Row &row : rows) {
    Timing r = time_row(t, row, row.big, runs);
    char floor_rate[32], lib_rate[32];
    if (row.unit == Unit::parts) {
      snprintf(floor_rate, sizeof floor_rate, "%.0f parts/s",
               static_cast<double>(row.big.parts) / r.floor_wall);
      snprintf(lib_rate, sizeof lib_rate, "%.0f parts/s",
               static_cast<double>(row.big.parts) / r.lib_wall);
    } else {
      snprintf(floor_rate, sizeof floor_rate, "%.0f MB/s",
               static_cast<double>(row.big.size) / r.floor_wall / 1e6);
      snprintf(lib_rate, sizeof lib_rate, "%.0f MB/s",
               static_cast<double>(row.big.size) / r.lib_wall / 1e6);
    }
    printf("%-26s %8s %14s %14s %10.3fx %9.3fx %7ld KiB %6ld KiB\n",
           row.name.c_str(), mib(row.big.size).c_str(), floor_rate, lib_rate,
           r.lib_wall / r.floor_wall, r.lib_cpu / r.floor_cpu, r.floor_rss,
           r.lib_rss);
    fflush(stdout);
    double per_byte = r.lib_wall / static_cast<double>(row.big.size);
    if (row.name.rfind("W1 write", 0) == 0) {
      w1_per_byte = per_byte;
      w1_rss = r.lib_rss;
    }
    if (row.name.rfind("W3", 0) == 0) w3_per_byte = per_byte;
  }
  if (w1_per_byte > 0 && w3_per_byte > 0)
    printf("\nW3 time per byte / W1 time per byte (write_part_to_file): %.3f\n",
           w3_per_byte / w1_per_byte);
  for (Row &row : rows)
    if (row.name.rfind("W1 write", 0) == 0) {
      // Same program, same run, a 1 MiB upload: what the 256 MiB one must
      // not exceed by more than a few pages.
      Body small = body(fs::path(row.big.path).parent_path(), "w1", gen_w1,
                        row.big.boundary, 1 << 20);
      Timing s = time_row(t, row, small, runs);
      printf("W1 peak RSS (median): %s upload %ld KiB, 1 MiB upload %ld KiB, "
             "difference %ld KiB\n",
             mib(row.big.size).c_str(), w1_rss, s.lib_rss, w1_rss - s.lib_rss);
    }
}

// -------------------------------------------------------------- callgrind

unsigned long long callgrind_ir(const Tools &t, const Row &row, const Body &b,
                                bool profile) {
  set_cgi_env(b);
  std::string dir = fresh_dir(t);
  std::string out = t.tmp + "/callgrind.out";
  std::vector<std::string> args = {"valgrind", "--tool=callgrind",
                                   "--toggle-collect=read_form",
                                   "--callgrind-out-file=" + out};
  auto cmd = lib_cmd(t, row, dir);
  args.insert(args.end(), cmd.begin(), cmd.end());
  std::string report = t.tmp + "/report", err = t.tmp + "/stderr";
  if (run(args, b.path, report, err) != 0)
    die("callgrind run of " + row.name + " failed: " + slurp(err));
  check_report(row, b, slurp(report), dir);
  std::string data = slurp(out);
  size_t at = data.find("\ntotals:");
  if (at == std::string::npos) at = data.find("\nsummary:");
  if (at == std::string::npos) die("no totals in " + out);
  unsigned long long ir = strtoull(data.c_str() + data.find(':', at) + 1,
                                   nullptr, 10);
  if (profile) {
    printf("\n  %s, %s body: functions by own instructions\n",
           row.name.c_str(), mib(b.size).c_str());
    fflush(stdout);
    std::string ann = t.tmp + "/annotate";
    run({"callgrind_annotate", "--inclusive=no", "--threshold=99", out},
        "/dev/null", ann);
    std::istringstream lines(slurp(ann));
    std::string line;
    int shown = 0;
    bool in_table = false;
    while (std::getline(lines, line) && shown < 12) {
      if (line.find("file:function") != std::string::npos) {
        in_table = true;
        continue;
      }
      if (in_table && line.find_first_not_of("- ") != std::string::npos) {
        printf("    %s\n", line.c_str());
        shown++;
      }
    }
  }
  fs::remove_all(dir);
  return ir;
}

void callgrind_section(const Tools &t, std::vector<Row> &rows, bool profile) {
  printf("\nInstructions: user space, callgrind, counted inside the driver's "
         "read_form (init to release);\nper byte and per part as the slope "
         "between the two body sizes, so fixed costs cancel\n\n");
  printf("%-26s %16s %16s %12s %12s\n", "workload", "small body",
         "large body", "instr/byte", "instr/part");
  for (Row &row : rows) {
    unsigned long long a = callgrind_ir(t, row, row.small, profile);
    unsigned long long z = callgrind_ir(t, row, row.big, profile);
    double d = static_cast<double>(z) - static_cast<double>(a);
    double per_byte = d / static_cast<double>(row.big.size - row.small.size);
    char part[32] = "-";
    if (row.big.parts != row.small.parts)
      snprintf(part, sizeof part, "%.0f",
               d / static_cast<double>(row.big.parts - row.small.parts));
    char sa[48], sz[48];
    snprintf(sa, sizeof sa, "%s %.2fM", mib(row.small.size).c_str(),
             static_cast<double>(a) / 1e6);
    snprintf(sz, sizeof sz, "%s %.2fM", mib(row.big.size).c_str(),
             static_cast<double>(z) / 1e6);
    printf("%-26s %16s %16s %12.3f %12s\n", row.name.c_str(), sa, sz,
           per_byte, part);
    fflush(stdout);
  }
}

// --------------------------------------------------------------- syscalls

struct Calls {
  unsigned long reads = 0;   // read(2) on descriptor 0: the body
  unsigned long writes = 0;  // write(2) of content (not to stdout/stderr)
  unsigned long other = 0;   // every other system call, start-up included
};

Calls strace_calls(const Tools &t, const Body &b,
                   const std::vector<std::string> &cmd) {
  set_cgi_env(b);
  std::string out = t.tmp + "/strace.out";
  std::vector<std::string> args = {"strace", "-f", "-s", "0", "-o", out};
  args.insert(args.end(), cmd.begin(), cmd.end());
  std::string err = t.tmp + "/stderr";
  if (run(args, b.path, t.tmp + "/report", err) != 0)
    die("strace run failed: " + slurp(err));
  Calls c;
  std::ifstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    // "PID name(args) = result"; skip signals, exits and resumed halves.
    size_t at = line.find_first_not_of("0123456789 ");
    if (at == std::string::npos || line.compare(at, 4, "<...") == 0 ||
        line.compare(at, 3, "+++") == 0 || line.compare(at, 3, "---") == 0)
      continue;
    size_t paren = line.find('(', at);
    if (paren == std::string::npos) continue;
    std::string name = line.substr(at, paren - at);
    std::string first = line.substr(paren + 1, line.find_first_of(",)", paren) - paren - 1);
    if (name == "read" && first == "0")
      c.reads++;
    else if (name == "write" && first != "1" && first != "2")
      c.writes++;
    else
      c.other++;
  }
  return c;
}

void syscall_section(const Tools &t, std::vector<Row> &rows) {
  printf("\nSystem calls (strace -f): reads of the body (fd 0), writes of "
         "content, all others (start-up included);\n'other, small' is the "
         "library on the small body: the same count means none per chunk\n\n");
  printf("%-26s %8s %9s %9s %7s %9s %9s %7s %8s %12s\n", "workload", "body",
         "fl. read", "fl. write", "other", "lib read", "lib write", "other",
         "reads", "other, small");
  for (Row &row : rows) {
    std::string dir = fresh_dir(t);
    Calls f = strace_calls(t, row.big,
                           {t.floor, row.into_dir ? dir + "/body" : "/dev/null"});
    dir = fresh_dir(t);
    Calls l = strace_calls(t, row.big, lib_cmd(t, row, dir));
    dir = fresh_dir(t);
    Calls s = strace_calls(t, row.small, lib_cmd(t, row, dir));
    printf("%-26s %8s %9lu %9lu %7lu %9lu %9lu %7lu %+7.2f%% %12lu\n",
           row.name.c_str(), mib(row.big.size).c_str(), f.reads, f.writes,
           f.other, l.reads, l.writes, l.other,
           100.0 * (static_cast<double>(l.reads) / static_cast<double>(f.reads) - 1),
           s.other);
    fflush(stdout);
  }
  fs::remove_all(t.tmp + "/out");
}

}  // namespace

int main(int argc, char **argv) {
  Tools t;
  std::string cache = "bench/.cache", tmp_parent, only;
  int runs = 5;
  bool quick = false, do_time = false, do_cg = false, do_sys = false,
       profile = false;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(a + " needs a value");
      return argv[++i];
    };
    if (a == "--driver") t.driver = value();
    else if (a == "--floor") t.floor = value();
    else if (a == "--measure") t.measure = value();
    else if (a == "--cache") cache = value();
    else if (a == "--tmp") tmp_parent = value();
    else if (a == "--runs") runs = std::max(1, atoi(value().c_str()));
    else if (a == "--quick") quick = true;
    else if (a == "--only") only = value();
    else if (a == "--time") do_time = true;
    else if (a == "--callgrind") do_cg = true;
    else if (a == "--syscalls") do_sys = true;
    else if (a == "--profile") do_cg = profile = true;
    else die("unknown option " + a + " (see bench/run.sh)");
  }
  if (t.driver.empty() || t.floor.empty() || t.measure.empty())
    die("--driver, --floor and --measure are required");
  if (!do_time && !do_cg && !do_sys) do_time = do_cg = do_sys = true;
  t.driver = fs::absolute(t.driver);
  t.floor = fs::absolute(t.floor);
  t.measure = fs::absolute(t.measure);
  fs::create_directories(cache);
  // Uploads land in RAM-backed storage on the small systems this serves; on a
  // disk, W4 would time the file system's creation of 2,000 files instead.
  if (tmp_parent.empty())
    tmp_parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm"
                 : getenv("TMPDIR")             ? getenv("TMPDIR")
                                                : "/tmp";
  std::string tmpl = tmp_parent + "/mpread-bench.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) die("cannot make a temporary directory");
  t.tmp = tmpl;

  // Full size: the workloads as stated; quick: the same shapes, small enough
  // for a smoke run. The small bodies give the callgrind slope its base.
  unsigned long long k = quick ? 1 : 0;
  unsigned long long w1 = k ? 4ULL << 20 : 256ULL << 20;
  unsigned long long w2 = k ? 2000 : 20000;
  unsigned long long w3 = k ? 2ULL << 20 : 64ULL << 20;
  unsigned long long w4 = k ? 100 : 2000;
  const std::string bb = browser_boundary(), lb = long_boundary();
  auto W = [&](const char *kind, Generator g, const std::string &b,
               unsigned long long n) { return body(cache, kind, g, b, n); };

  std::vector<Row> time_rows = {
      {"W1 write_part_to_file", W("w1", gen_w1, bb, w1), {},
       {"write", "/dev/null"}},
      {"W1 get_part_buffer 4096", W("w1", gen_w1, bb, w1), {},
       {"chunks", "4096"}},
      {"W2 fields, chunks 4096", W("w2", gen_w2, bb, w2), {},
       {"chunks", "4096"}, false, Unit::parts},
      {"W3 slow, write_part", W("w3", gen_w3, lb, w3), {},
       {"write", "/dev/null"}},
      {"W4 32 KiB files", W("w4", gen_w4, bb, w4), {}, {"files", ""},
       true, Unit::parts},
  };
  // Callgrind runs ~50x slower: smaller bodies, two sizes per workload.
  std::vector<Row> cg_rows = time_rows;
  auto sizes = [&](Row &r, const char *kind, Generator g, const std::string &b,
                   unsigned long long s, unsigned long long z) {
    r.small = W(kind, g, b, s);
    r.big = W(kind, g, b, z);
  };
  sizes(cg_rows[0], "w1", gen_w1, bb, k ? 64 << 10 : 1 << 20,
        k ? 1 << 20 : 33 << 20);
  sizes(cg_rows[1], "w1", gen_w1, bb, k ? 64 << 10 : 1 << 20,
        k ? 1 << 20 : 33 << 20);
  sizes(cg_rows[2], "w2", gen_w2, bb, k ? 100 : 1000, k ? 1100 : 21000);
  sizes(cg_rows[3], "w3", gen_w3, lb, k ? 64 << 10 : 1 << 20,
        k ? 1 << 20 : 17 << 20);
  sizes(cg_rows[4], "w4", gen_w4, bb, k ? 10 : 100, k ? 60 : 1100);
  for (Row &r : time_rows) r.small = W("w1", gen_w1, bb, 1 << 20);

  if (!only.empty()) {
    // Keep rows whose name begins with one of the listed words.
    auto wanted = [&](const Row &r) {
      std::istringstream words(only);
      std::string w;
      while (std::getline(words, w, ','))
        if (!w.empty() && r.name.rfind(w, 0) == 0) return true;
      return false;
    };
    for (auto *rows : {&time_rows, &cg_rows}) {
      std::vector<Row> kept;
      for (Row &r : *rows)
        if (wanted(r)) kept.push_back(r);
      *rows = kept;
    }
  }
  if (do_time) time_section(t, time_rows, quick ? std::min(runs, 3) : runs);
  if (do_cg) callgrind_section(t, cg_rows, profile);
  if (do_sys) {
    std::vector<Row> sys_rows = quick ? cg_rows : time_rows;
    for (size_t i = 0; i < sys_rows.size(); i++) sys_rows[i].small = cg_rows[i].small;
    syscall_section(t, sys_rows);
  }
  fs::remove_all(t.tmp);
  return 0;
}
