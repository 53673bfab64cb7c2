// The table of attacks: bodies and requests written to break a multipart
// reader, each of which must end in bounded time and memory with a clean
// result or an error naming the problem, and lose or change no byte of any
// part that came out whole. One TEST per entry, so that ctest times each.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <thread>

#include "attack.h"
#include "reqinfo.h"

using namespace testreq;
using namespace attack;

namespace {

const std::optional<std::string> none;

std::string disposition(const std::string &name) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n";
}

// --- The end marker at every offset around the working-buffer edge -------

struct Ending {
  const char *name;
  std::string text;
};

// Content endings that look like the start of the end marker and must still
// be delivered as content.
std::vector<Ending> endings(const std::string &delimiter) {
  return {{"plain", "x"},
          {"CR", "\r"},
          {"CR LF", "\r\n"},
          {"CR LF -", "\r\n-"},
          {"CR LF delimiter but its last byte",
           "\r\n" + delimiter.substr(0, delimiter.size() - 1)}};
}

enum class Where { body, content };
void PrintTo(Where w, std::ostream *os) { *os << (w == Where::body ? "body" : "content"); }

class EndMarkerOffsets
    : public AttackTest,
      public testing::WithParamInterface<std::tuple<size_t, Where>> {};

TEST_P(EndMarkerOffsets, EveryOffsetFrom4080To4112) {
  const auto [length, where] = GetParam();
  // Dashes overlap the delimiter's own "--"; the other is plain text.
  std::string mixed;
  for (size_t i = 0; i < length; i++) mixed += "aZ09'()+_,-./:=?"[i * 7 % 16];
  for (const std::string &boundary : {std::string(length, '-'), mixed}) {
    const std::string delimiter = "--" + boundary;
    const std::string head = delimiter + "\r\n" + disposition("f") + "\r\n";
    for (const Ending &ending : endings(delimiter)) {
      for (size_t offset = 4080; offset <= 4112; offset++) {
        size_t size = where == Where::content ? offset : offset - head.size();
        if (size < ending.text.size()) continue;
        std::string content =
            std::string(size - ending.text.size(), 'x') + ending.text;
        Form form(boundary);
        form.raw(disposition("f") + "\r\n", content).field("after", "tail");
        std::string body = form.close("\r\n");
        SCOPED_TRACE(boundary + " / " + ending.name + " / offset " +
                     std::to_string(offset));
        for (size_t chunk : {4096, 1000, 0}) {
          ASSERT_TRUE(start(boundary, body)) << err->message;
          std::vector<Step> steps = walk_all(chunk);
          ASSERT_EQ(steps.size(), 3u);
          EXPECT_EQ(steps[0].content_result, 1) << steps[0].content_error;
          EXPECT_TRUE(steps[0].part.content == content) << "chunk " << chunk;
          EXPECT_EQ(steps[1].part.name, "after");
          EXPECT_EQ(steps[1].part.content, "tail");
          EXPECT_EQ(steps[2].result, 0) << steps[2].error;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    , EndMarkerOffsets,
    testing::Combine(testing::Values(1, 69, 70),
                     testing::Values(Where::body, Where::content)),
    [](const auto &info) {
      return "Boundary" + std::to_string(std::get<0>(info.param)) +
             (std::get<1>(info.param) == Where::body ? "InBody" : "InContent");
    });

// --- A body cut short after every byte --------------------------------------

// A small two-part form and where its pieces stand.
struct CutForm {
  std::string body;
  struct Piece {
    size_t header_end, content_start, content_end;
    Seen part;
  };
  std::vector<Piece> pieces;
  static constexpr size_t marker = 7;  // CR LF "--cut"

  CutForm() {
    auto add = [&](const std::string &headers, Seen part) {
      body += "--cut\r\n" + headers + "\r\n";
      pieces.push_back({body.size(), body.size(),
                        body.size() + part.content.size(), part});
      body += part.content + "\r\n";
    };
    add(disposition("a"), {"a", none, none, "hello"});
    add("Content-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
        "Content-Type: text/plain\r\n",
        {"f", "text/plain", "x.txt", "line1\r\n--cu\r\nline2"});
    body += "--cut--\r\n";
  }
};

TEST_F(AttackTest, CutBodyWithTheLengthAsPromised) {
  const CutForm form;
  const std::string full = std::to_string(form.body.size());
  for (size_t sent = 0; sent <= form.body.size(); sent++) {
    SCOPED_TRACE("body cut after " + std::to_string(sent) + " bytes");
    const std::string ended = "Request body ended after " +
                              std::to_string(sent) + " of " + full + " bytes";
    for (size_t chunk : {3, 0}) {
      mpread_release();
      req.form("cut", form.body.substr(0, sent));
      Request::env("CONTENT_LENGTH", full.c_str());
      if (!mpread_init(&err)) {
        // Too short for even the first delimiter.
        EXPECT_LT(sent, 5u);
        EXPECT_EQ(describe(err), "intake 4: " + ended);
        continue;
      }
      std::vector<Step> steps = walk_all(chunk);
      std::vector<Seen> whole = complete_parts(steps);
      size_t reported = 0, errors = 0;
      for (const Step &s : steps) {
        reported += s.result == 1;
        for (const std::string &e : {s.error, s.content_error})
          if (!e.empty()) {
            errors++;
            EXPECT_NE(e.find(ended), std::string::npos) << e;
          }
      }
      size_t want_reported = 0, want_whole = 0;
      for (const CutForm::Piece &p : form.pieces) {
        want_reported += p.header_end <= sent;
        want_whole += p.content_end + CutForm::marker <= sent;
      }
      EXPECT_EQ(reported, want_reported);
      ASSERT_EQ(whole.size(), want_whole);
      for (size_t i = 0; i < whole.size(); i++)
        EXPECT_TRUE(same_part(whole[i], form.pieces[i].part));
      // A body that is short is said to be short, never taken as complete.
      if (sent < form.body.size())
        EXPECT_GT(errors, 0u);
      else
        EXPECT_EQ(errors, 0u);
    }
  }
}

TEST_F(AttackTest, CutBodyWithTheLengthAsSent) {
  const CutForm form;
  for (size_t sent = 0; sent <= form.body.size(); sent++) {
    SCOPED_TRACE("body of " + std::to_string(sent) + " bytes");
    for (size_t chunk : {3, 0}) {
      if (!start("cut", form.body.substr(0, sent))) {
        if (sent == 0)
          EXPECT_EQ(describe(err), "reqinfo 2: CONTENT_LENGTH is 0: no body");
        else
          EXPECT_GERROR(err, MPREAD_ERROR, MPREAD_ERROR_BAD_START,
                        "Request does not start with the boundary line");
        EXPECT_LT(sent, 5u);
        continue;
      }
      std::vector<Step> steps = walk_all(chunk);
      std::vector<Seen> seen;
      std::vector<int> content_results;
      for (const Step &s : steps) {
        if (s.result == 1) {
          seen.push_back(s.part);
          content_results.push_back(s.content_result);
          EXPECT_TRUE(s.content_error.empty()) << s.content_error;
        } else if (s.result < 0) {
          // Only a header line cut in the middle may fail to parse.
          EXPECT_EQ(s.error.rfind("reqinfo 3: ", 0), 0u) << s.error;
        }
      }
      EXPECT_EQ(steps.back().result, 0);
      size_t want = 0;
      for (const CutForm::Piece &p : form.pieces) {
        if (p.header_end > sent) break;
        ASSERT_LT(want, seen.size());
        Seen expected = p.part;
        // Content up to the end of what was sent, then 0.
        bool whole = p.content_end + CutForm::marker <= sent;
        if (!whole)
          expected.content = form.body.substr(p.content_start,
                                              sent - p.content_start);
        EXPECT_TRUE(same_part(seen[want], expected)) << seen[want].content;
        if (chunk > 0) {
          EXPECT_EQ(content_results[want], whole ? 1 : 0);
        }
        want++;
      }
      EXPECT_EQ(seen.size(), want);
    }
  }
}

// --- Header blocks --------------------------------------------------------

TEST_F(AttackTest, TenThousandIgnoredHeaderLines) {
  std::string headers;
  for (int i = 0; i < 10000; i++)
    headers += "X-Filler-" + std::to_string(i) + ": ignored\r\n";
  Form form("b");
  form.raw(headers + disposition("a") + headers + "\r\n", "value")
      .field("next", "ok");
  ASSERT_TRUE(start("b", form.close())) << err->message;
  std::vector<Step> steps = walk_all(4096);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].part.name, "a");
  EXPECT_EQ(steps[0].part.content, "value");
  EXPECT_EQ(steps[1].part.content, "ok");
}

// A part the library cannot read is refused with a message naming why, and
// the walk goes on with the next part, whose bytes are all there.
void expect_refused_then_next(std::vector<Step> steps, const std::string &why) {
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[0].result, -1);
  EXPECT_EQ(steps[0].error, why);
  EXPECT_EQ(steps[1].result, 1);
  EXPECT_EQ(steps[1].part.name, "next");
  EXPECT_EQ(steps[1].part.content, "intact\r\n--");
  EXPECT_EQ(steps[2].result, 0) << steps[2].error;
}

TEST_F(AttackTest, OneMebibyteHeaderLine) {
  Form form("b");
  form.raw("X-Long: " + std::string(1 << 20, 'v') + "\r\n" + disposition("a") +
               "\r\n", "lost with its part")
      .field("next", "intact\r\n--");
  ASSERT_TRUE(start("b", form.close())) << err->message;
  expect_refused_then_next(
      walk_all(4096),
      "intake 5: Line of 1048586 bytes exceeds the limit of 4095 bytes");
}

TEST_F(AttackTest, OneMebibyteDelimiterLine) {
  std::string body = "--b" + std::string(1 << 20, '-') + "x\r\n" +
                     disposition("a") + "\r\nlost\r\n";
  Form next("b");
  next.field("next", "intact\r\n--");
  ASSERT_TRUE(start("b", body + next.close())) << err->message;
  expect_refused_then_next(walk_all(4096),
                           "intake 5: Error while reading boundary:Line of "
                           "1048582 bytes exceeds the limit of 4095 bytes");
}

TEST_F(AttackTest, HeaderLineBeginningWithSpaceOrTab) {
  // Folded or indented lines are not header lines of their own: the part
  // has no usable Content-Disposition, and is refused.
  const struct {
    const char *headers, *error;
  } cases[] = {
      {" Content-Disposition: form-data; name=\"a\"\r\n",
       "mpread 8: Form data part does not contain a Content-Disposition"},
      {"\tContent-Disposition: form-data; name=\"a\"\r\n",
       "mpread 8: Form data part does not contain a Content-Disposition"},
      {"Content-Disposition: form-data;\r\n name=\"a\"\r\n",
       "mpread 9: Form data part name is not set"},
      {"Content-Disposition: form-data; name=\"a\"\r\nContent-Type:\r\n\ttext/plain\r\n",
       "mpread 11: Form data part contains a invalid mime"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.headers);
    Form form("b");
    form.raw(std::string(c.headers) + "\r\n", "x").field("next", "intact\r\n--");
    ASSERT_TRUE(start("b", form.close())) << err->message;
    expect_refused_then_next(walk_all(4096), c.error);
  }
}

TEST_F(AttackTest, NulInHeaderLineAndFileName) {
  const std::string nul(1, '\0');
  for (const std::string &headers :
       {"X-Nul: a" + nul + "b\r\n" + disposition("a"),
        "Content-Disposition: form-data; name=\"a\"; filename=\"a" + nul +
            ".txt\"\r\n"}) {
    Form form("b");
    form.raw(headers + "\r\n", "x").field("next", "intact\r\n--");
    ASSERT_TRUE(start("b", form.close())) << err->message;
    expect_refused_then_next(walk_all(4096),
                             "intake 6: Line contains a NUL byte");
  }
}

TEST_F(AttackTest, HeaderValuesLeftEmpty) {
  // Nothing after the colon: an empty value, refused by the part's tests.
  const struct {
    const char *headers, *error;
  } cases[] = {
      {"Content-Disposition:\r\n", "mpread 9: Form data part name is not set"},
      {"Content-Disposition: form-data; name=\"a\"\r\nContent-Type:\r\n",
       "mpread 11: Form data part contains a invalid mime"},
      {"Content-Disposition: form-data; name=\"a\"; filename=\r\n",
       "mpread 10: Form data part contains a invalid filename"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.headers);
    Form form("b");
    form.raw(std::string(c.headers) + "\r\n", "x").field("next", "intact\r\n--");
    ASSERT_TRUE(start("b", form.close())) << err->message;
    expect_refused_then_next(walk_all(4096), c.error);
  }
}

TEST_F(AttackTest, HeaderBlockThatNeverEnds) {
  std::string body = "--b\r\n" + disposition("a");
  while (body.size() < (1u << 20)) body += "X-More: and more\r\n";
  ASSERT_TRUE(start("b", body)) << err->message;
  std::vector<Step> steps = walk_all(4096);
  // The body ended inside the header block: no part, no error.
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].result, 0);
  EXPECT_EQ(steps[0].error, "");
}

// --- CONTENT_LENGTH -------------------------------------------------------

TEST_F(AttackTest, ContentLength) {
  constexpr bool narrow = SIZE_MAX == UINT32_MAX;
  const std::string max = std::to_string(SIZE_MAX);
  const struct {
    const char *text;
    size_t value;  // 0: refused with the error below
    std::string error;
  } cases[] = {
      {"0", 0, "CONTENT_LENGTH is 0: no body"},
      {"-1", 0, "CONTENT_LENGTH is not a plain decimal number: \"-1\""},
      {"12abc", 0, "CONTENT_LENGTH is not a plain decimal number: \"12abc\""},
      {" 12", 0, "CONTENT_LENGTH is not a plain decimal number: \" 12\""},
      {"4294967297", narrow ? 0 : static_cast<size_t>(4294967297ull),
       narrow ? "CONTENT_LENGTH 4294967297 is larger than this system's limit of " + max
              : ""},
      {"1234567890123456789012345", 0,
       "CONTENT_LENGTH 1234567890123456789012345 is larger than this system's "
       "limit of " + max},
  };
  Form form("b");
  const std::string body = form.field("a", "1").close("\r\n");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    Request::env("CONTENT_LENGTH", c.text);
    EXPECT_EQ(reqinfo_get_content_length(&err), c.value);
    if (c.value == 0)
      EXPECT_GERROR(err, REQINFO_ERROR, REQINFO_ERROR_INVALID, c.error.c_str());
    EXPECT_EQ(err, nullptr);

    mpread_release();
    req.form("b", body);
    Request::env("CONTENT_LENGTH", c.text);
    gboolean ok = mpread_init(&err);
    EXPECT_EQ(ok, c.value != 0);
    if (!ok) {
      EXPECT_GERROR(err, REQINFO_ERROR, REQINFO_ERROR_INVALID, c.error.c_str());
      continue;
    }
    // A length past the body: the form is closed before the body runs
    // short, so it reads whole.
    std::vector<Step> steps = walk_all(4096);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].part.content, "1");
    EXPECT_EQ(steps[1].error, "");
  }
}

// --- Boundaries -----------------------------------------------------------

TEST_F(AttackTest, Boundaries) {
  const struct {
    std::string content_type, delimiter;  // delimiter "" = init refused
    std::string error;
  } cases[] = {
      {"multipart/form-data; boundary=", "--", ""},
      {"multipart/form-data; boundary=" + std::string(70, 'B'),
       "--" + std::string(70, 'B'), ""},
      {"multipart/form-data; boundary=" + std::string(71, 'B'), "",
       "mpread 4: Boundary is too long max len 70 actual length 71"},
      {"multipart/form-data; boundary=" + std::string(8000, 'B'), "",
       "mpread 4: Boundary is too long max len 70 actual length 8000"},
      {"multipart/form-data; boundary=\"a b;c=d\"", "--a b;c=d", ""},
      {"multipart/form-data; boundary=\"a\\\"b\\\\c\"", "--a\"b\\c", ""},
      {"multipart/form-data; boundary=\"C:\\x\"", "--C:\\x", ""},
      {"multipart/form-data; boundary=a\\b", "--a\\b", ""},
      {"multipart/form-data; boundary=one; boundary=two", "",
       "reqinfo 3: Parameter is given twice: boundary"},
      {"multipart/form-data; boundary=one; BOUNDARY=two", "",
       "reqinfo 3: Parameter is given twice: BOUNDARY"},
      {"multipart/form-data; charset=utf-8; boundary=xyz; x-other=\"1;2\"",
       "--xyz", ""},
      {"multipart/form-data ; boundary = xyz ;", "--xyz", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.content_type.substr(0, 100));
    // The body is written with the delimiter the content type should give.
    const std::string boundary =
        c.delimiter.empty() ? "unused" : c.delimiter.substr(2);
    Form form(boundary);
    std::string body = form.field("a", "ok\r\n-").close("\r\n");
    mpread_release();
    req.form(boundary, body);
    Request::env("CONTENT_TYPE", c.content_type.c_str());
    if (c.delimiter.empty()) {
      EXPECT_FALSE(mpread_init(&err));
      EXPECT_EQ(describe(err), c.error);
      continue;
    }
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    std::vector<Step> steps = walk_all(4096);
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].part.content, "ok\r\n-");
    EXPECT_EQ(steps[1].result, 0);
    EXPECT_EQ(steps[1].error, "");
  }
}

// --- File names -----------------------------------------------------------

TEST_F(AttackTest, FileNames) {
  const std::string long_name(4000, 'n');
  // As written in the header line: inside quotes only \" and \\ are
  // escapes, so Windows paths arrive as they are.
  const struct {
    std::string sent, kept;
  } cases[] = {
      {"../../etc/passwd", "passwd"},
      {"..\\..\\windows\\win.ini", "win.ini"},
      {"/etc/passwd", "passwd"},
      {"x\\../../etc/passwd", "passwd"},
      {"a/b\\c/d", "d"},
      {"C:\\x\\..", ""},
      {".", ""},
      {"..", ""},
      {"dir/", ""},
      {"dir\\\\", ""},
      {"../", ""},
      {"a%00.txt", "a%00.txt"},
      {"..%2f..%2fetc%2fpasswd", "..%2f..%2fetc%2fpasswd"},
      {long_name, long_name},
      {"../" + long_name, long_name},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.sent.substr(0, 60));
    Form form("b");
    form.file("f", c.sent, "application/octet-stream", "data").field("next", "n");
    ASSERT_TRUE(start("b", form.close())) << err->message;
    std::vector<Step> steps = walk_all(4096);
    ASSERT_EQ(steps.size(), 3u);
    ASSERT_EQ(steps[0].result, 1) << steps[0].error;
    EXPECT_EQ(steps[0].part.filename, c.kept);
    EXPECT_EQ(steps[0].part.content, "data");
  }
  // A name too long for a 4095-byte header line is a clean error, and the
  // walk goes on.
  Form form("b");
  form.file("f", std::string(4100, 'n'), "text/plain", "data")
      .field("next", "intact\r\n--");
  ASSERT_TRUE(start("b", form.close())) << err->message;
  expect_refused_then_next(
      walk_all(4096),
      "intake 5: Line of 4155 bytes exceeds the limit of 4095 bytes");
}

// --- Writing content out, and reading it in, under adverse conditions -----

TEST_F(AttackTest, WriteToAFullDevice) {
  int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  Form form("b");
  form.file("f", "big.bin", "application/octet-stream", random_bytes(10000, 3))
      .field("next", "intact\r\n--");
  ASSERT_TRUE(start("b", form.close())) << err->message;
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  mpread_release_part(&p);
  EXPECT_FALSE(mpread_write_part_to_file(full, &err));
  const std::string want = "Failed to write to file descriptor " +
                           std::to_string(full) + ": No space left on device";
  EXPECT_GERROR(err, MPREAD_ERROR, MPREAD_ERROR_WRITE_FAILED, want.c_str());
  close(full);
  // The walk goes on past what was left of the part.
  std::vector<Step> steps = walk_all(4096);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].part.name, "next");
  EXPECT_EQ(steps[0].part.content, "intact\r\n--");
}

// A handler without SA_RESTART, so that signals interrupt blocked calls.
std::atomic<int> signals_seen{0};
void count_signal(int) { signals_seen++; }

struct InterruptingSignal {
  int signo;
  struct sigaction old {};
  explicit InterruptingSignal(int s) : signo(s) {
    struct sigaction sa {};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(signo, &sa, &old);
  }
  ~InterruptingSignal() { sigaction(signo, &old, nullptr); }
};

TEST_F(AttackTest, WriteToASlowlyReadPipeWhileSignalsArrive) {
  const std::string content = random_bytes(300000, 4);
  Form form("b");
  form.file("f", "f.bin", "application/octet-stream", content).field("next", "n");
  ASSERT_TRUE(start("b", form.close())) << err->message;
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  mpread_release_part(&p);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string got;
  std::thread reader([&] {
    sigset_t alarm_signal;
    sigemptyset(&alarm_signal);
    sigaddset(&alarm_signal, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_signal, nullptr);
    char buf[1000];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) != 0) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      got.append(buf, static_cast<size_t>(n));
      usleep(50);
    }
  });
  // Every millisecond a signal interrupts the blocked writes, which then
  // come back short or with EINTR; neither may lose a byte.
  InterruptingSignal alarm(SIGALRM);
  signals_seen = 0;
  itimerval every_ms{{0, 1000}, {0, 1000}}, off{};
  setitimer(ITIMER_REAL, &every_ms, nullptr);
  gboolean ok = mpread_write_part_to_file(fds[1], &err);
  setitimer(ITIMER_REAL, &off, nullptr);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_TRUE(ok) << (err ? err->message : "");
  EXPECT_TRUE(got == content) << got.size() << " of " << content.size();
  EXPECT_GT(signals_seen.load(), 0);
  std::vector<Step> steps = walk_all(4096);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].part.content, "n");
}

TEST_F(AttackTest, SignalDuringABlockedReadOfASlowBody) {
  const std::string content = random_bytes(20000, 5);
  Form form("b");
  form.file("f", "f.bin", "application/octet-stream", content).field("next", "n");
  const std::string body = form.close();

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(0);
  dup2(fds[0], 0);
  close(fds[0]);
  Request::env("REQUEST_METHOD", "POST");
  Request::env("CONTENT_TYPE", "multipart/form-data; boundary=b");
  Request::env("CONTENT_LENGTH", std::to_string(body.size()).c_str());

  InterruptingSignal usr1(SIGUSR1);
  signals_seen = 0;
  const pthread_t main_thread = pthread_self();
  // The feeder sends the body in pieces and, between them, while the
  // reader waits in read(), interrupts it with a signal.
  std::thread feeder([&] {
    const size_t pieces[] = {3, 100, 4093, 4096, 1, 5000};
    size_t at = 0;
    for (size_t n : pieces) {
      if (write(fds[1], body.data() + at, n) != static_cast<ssize_t>(n)) break;
      at += n;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      pthread_kill(main_thread, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    while (at < body.size()) {
      ssize_t n = write(fds[1], body.data() + at, body.size() - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  gboolean ok = mpread_init(&err);
  std::vector<Step> steps;
  if (ok) steps = walk_all(4096);
  feeder.join();
  dup2(saved, 0);
  close(saved);
  ASSERT_TRUE(ok) << err->message;
  EXPECT_GT(signals_seen.load(), 0);
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_TRUE(steps[0].part.content == content);
  EXPECT_EQ(steps[0].content_error, "");
  EXPECT_EQ(steps[1].part.content, "n");
  EXPECT_EQ(steps[2].result, 0);
}

}  // namespace
