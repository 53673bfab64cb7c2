// The table of attacks: bodies and requests written to break a multipart
// reader, each of which must end in bounded time and memory with a clean
// result or an error naming the problem, and lose or change no byte of any
// part that came out whole.
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "intake.h"
#include "request.h"
#include "reqinfo.h"

using namespace testreq;
using mpread::Msg;

namespace {

std::string disposition(const std::string &name) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n";
}

class AttackTest : public ReaderTest {};
class EndMarkerOffsets
    : public ReaderTest,
      public testing::WithParamInterface<std::tuple<size_t, bool>> {};

// Content ending like the start of the end marker, with the marker at every
// offset around the 4096-byte buffer edge, counted in the body or the part.
TEST_P(EndMarkerOffsets, EveryOffsetFrom4080To4112) {
  const auto [length, in_body] = GetParam();
  // Dashes overlap the delimiter's own "--"; the other is plain text.
  std::string mixed;
  for (size_t i = 0; i < length; i++) mixed += "aZ09'()+_,-./:=?"[i * 7 % 16];
  for (const std::string &boundary : {std::string(length, '-'), mixed}) {
    const std::string delimiter = "--" + boundary;
    const size_t head = delimiter.size() + 2 + disposition("f").size() + 2;
    for (const std::string &ending : std::vector<std::string>{
             "x", "\r", "\r\n", "\r\n-",
             "\r\n" + delimiter.substr(0, delimiter.size() - 1)})
      for (size_t offset = 4080; offset <= 4112; offset++) {
        const size_t size = in_body ? offset - head : offset;
        if (size < ending.size()) continue;
        const std::string content =
            std::string(size - ending.size(), 'x') + ending;
        SCOPED_TRACE(testing::Message()
                     << boundary << " / " << testing::PrintToString(ending)
                     << " / offset " << offset);
        const std::string body = Form(boundary)
                                     .raw(disposition("f") + "\r\n", content)
                                     .field("after", "tail")
                                     .close("\r\n");
        for (size_t chunk : {4096, 1000, 0}) {
          ASSERT_TRUE(start(boundary, body)) << err->message;
          expect_contents(walk(chunk), {content, "tail"});
        }
      }
  }
}

INSTANTIATE_TEST_SUITE_P(
    , EndMarkerOffsets,
    testing::Combine(testing::Values(1, 69, 70), testing::Bool()),
    [](const auto &info) {
      return "Boundary" + std::to_string(std::get<0>(info.param)) +
             (std::get<1>(info.param) ? "InBody" : "InContent");
    });

// A two-part form cut after every byte, each prefix its own request, with
// CONTENT_LENGTH promising the whole body and with it saying what was sent.
TEST_F(AttackTest, BodyCutAfterEveryByte) {
  const std::string body =
      "--cut\r\n" + disposition("a") + "\r\nhello\r\n--cut\r\n" +
      "Content-Disposition: form-data; name=\"f\"; filename=\"x.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\nline1\r\n--cu\r\nline2\r\n--cut--\r\n";
  const std::string contents[] = {"hello", "line1\r\n--cu\r\nline2"};
  const std::string full = std::to_string(body.size());
  for (size_t sent = 0; sent <= body.size(); sent++)
    for (bool promised : {true, false})
      for (size_t chunk : {3, 0}) {
        SCOPED_TRACE(testing::Message() << sent << " bytes sent, promised "
                                        << promised << ", chunk " << chunk);
        const std::string ended =
            "Request body ended after " + std::to_string(sent) + " of " + full;
        mpread_release();
        req.form("cut", body.substr(0, sent));
        if (promised) Request::env("CONTENT_LENGTH", full.c_str());
        const std::vector<Step> steps =
            mpread_init(&err)
                ? walk(chunk)
                : std::vector<Step>{{.result = -1, .error = describe(err)}};
        size_t seen = 0, errors = 0;
        for (const Step &s : steps) {
          for (const std::string &e : {s.error, s.content_error}) {
            if (e.empty()) continue;
            errors++;
            // Short of the promise: said so. Short as sent: a header line
            // cut in the middle, no first delimiter, or content written
            // to a descriptor without its end marker fails.
            EXPECT_TRUE(promised ? e.find(ended) != std::string::npos
                                 : sent < 5 || e.rfind("reqinfo 3: ", 0) == 0 ||
                                       e == ours(Msg::content_unterminated))
                << e;
          }
          if (s.result != 1) continue;
          ASSERT_LT(seen, 2u);
          const std::string &want = contents[seen++];
          const size_t start = body.find(want);
          const bool whole = start + want.size() + 7 <= sent;  // CR LF --cut
          // Never complete unless it was. As sent: what was sent, then 0
          // in chunks, or FALSE from the write.
          EXPECT_EQ(s.content_result, whole ? 1 : promised || chunk == 0 ? -1 : 0);
          if (!promised && chunk == 0 && !whole) {
            EXPECT_EQ(s.content_error, ours(Msg::content_unterminated));
          }
          if (whole || !promised) {
            EXPECT_TRUE(s.content ==
                        (whole ? want : body.substr(start, sent - start)))
                << s.content;
          }
        }
        EXPECT_EQ(seen,
                  (body.find("hello") <= sent) + (body.find("line1") <= sent));
        EXPECT_TRUE(!promised || (errors > 0) == (sent < body.size()));
        // A fuzzer found a walk over a short body that kept failing: once
        // mpread_get_next_part has failed, the next call ends it.
        for (size_t i = 0; i + 2 < steps.size(); i++)
          EXPECT_NE(steps[i].result, -1);
      }
}

// A part the library cannot read is refused with its code and text, and
// the walk goes on with the next part, whose bytes are all there; its
// content, which looks like a further part, is skipped. A file name keeps
// no directory, and is never "." or "..".
TEST_F(AttackTest, HostilePartHeaders) {
  auto too_long = [](const char *prefix, size_t n) {
    return "intake 5: " + std::string(prefix) + "Line of " + std::to_string(n) +
           " bytes exceeds the limit of 4095 bytes";
  };
  const std::string cd = "Content-Disposition: form-data; name=\"a\"", a = cd + "\r\n",
                    nul(1, '\0'), nul_error = "intake 6: Line contains a NUL byte",
                    no_disposition = ours(Msg::no_disposition), no_name = ours(Msg::no_name),
                    bad_name = ours(Msg::invalid_filename), no_mime = ours(Msg::invalid_mime),
                    long_name(4000, 'n');
  auto file = [&](const std::string &name) { return cd + "; filename=\"" + name + "\"\r\n"; };
  std::string filler;
  for (int i = 0; i < 10000; i++) filler += "X-Filler-" + std::to_string(i) + ": ignored\r\n";
  const struct {
    std::string headers, error;  // the first part's header lines; error "": taken
    std::optional<std::string> kept{};  // its file name
  } cases[] = {
      {filler + a + filler, ""},
      {"X-Long: " + std::string(1 << 20, 'v') + "\r\n" + a, too_long("", 1048586)},
      {file(std::string(4100, 'n')), too_long("", 4155)},
      {a + a, ours(Msg::duplicate_disposition)},
      {a + "Content-Type: a/b\r\ncontent-type: c/d\r\n", ours(Msg::duplicate_type)},
      // A bare LF does not end the block: the content is read as headers.
      {a + "\nContent-Type: a/b\r\nContent-Type: c/d", ours(Msg::duplicate_type)},
      {"Content-Type: text/plain\r\n", no_disposition},
      // Only the whole name and a colon make the header; folded or indented
      // lines are no header lines of their own.
      {"Content-Disposition form-data; name=\"a\"\r\nContent-Dispositions: form-data\r\n",
       no_disposition},
      {" " + a, no_disposition},
      {"\t" + a, no_disposition},
      {"Content-Disposition: form-data;\r\n name=\"a\"\r\n", no_name},
      {"Content-Disposition: form-data; name=\"\"; filename=\"\"\r\n", no_name},
      {a + "Content-Type:\r\n\ttext/plain\r\n", no_mime},
      {a + "Content-Type: ; charset=x\r\n", no_mime},
      {"X-Nul: a" + nul + "b\r\n" + a, nul_error},
      {file("a" + nul + ".txt"), nul_error},
      // UBSan under the fuzzer caught a memcpy from null for empty values.
      {"Content-Disposition:\r\n", no_name},
      {a + "Content-Type:\r\n", no_mime},
      {cd + "; filename=\r\n", bad_name},
      {file(""), bad_name},
      {"Content-Disposition: form-data; name=\"a\r\n",
       "reqinfo 3: " + text(Msg::parse_disposition)},
      {a + "Content-Type: a/b; charset=\"x\r\n", "reqinfo 3: " + text(Msg::parse_type)},
      // Inside quotes only \" and \\ are escapes: Windows paths arrive as
      // they are.
      {file("../../etc/passwd"), "", "passwd"},
      {file("..\\..\\windows\\win.ini"), "", "win.ini"},
      {file("/etc/passwd"), "", "passwd"},
      {file("x\\../../etc/passwd"), "", "passwd"},
      {file("a/b\\c.txt"), "", "c.txt"},
      {file("a/b\\c/d"), "", "d"},
      {file("C:\\x\\.."), "", ""},
      {file("."), "", ""},
      {file(".."), "", ""},
      {file("x/.."), "", ""},
      {file("dir/"), "", ""},
      {file("dir\\\\"), "", ""},
      {file("..."), "", "..."},
      {file(".hidden"), "", ".hidden"},
      {file("a%00.txt"), "", "a%00.txt"},
      {file(long_name), "", long_name},
      {file("../" + long_name), "", long_name},
      // An encoded name loses its directory once decoded; one that decodes
      // to a line break, or cannot be decoded, is refused, not a field.
      {cd + "; filename*=UTF-8''..%2F..%2Fetc%2Fpasswd\r\n", "", "passwd"},
      {cd + "; filename*=UTF-8''%2E%2E\r\n", "", ""},
      {cd + "; filename*=UTF-8''a%0D%0AX-Evil: 1\r\n", bad_name},
      {cd + "; filename*=UTF-8''%E2%8\r\n", bad_name},
      // A header a filter in front of the server sees under another name
      // names nothing here.
      {"Content-Dispositionx: form-data; name=\"a\"; filename=\"evil.php\"\r\n" + a, ""},
      {a + "Content-Type-Options: nosniff\r\nContent-Type: text/plain\r\n", ""},
  };
  const std::string content = "x--b\r\n" + a + "\r\n" + std::string(5000, 'e');
  for (const auto &c : cases)
    for (Feed feed : {Feed::file, Feed::pipe_bytewise}) {
      if (feed != Feed::file && c.headers.size() > 5000) continue;
      SCOPED_TRACE(testing::PrintToString(c.headers.substr(0, 80)) + feed_name(feed));
      ASSERT_TRUE(start("b", Form("b").raw(c.headers + "\r\n", content)
                                 .field("next", "intact\r\n--").close(), feed));
      const std::vector<Step> steps = walk(4096);
      ASSERT_EQ(steps.size(), 3u);
      EXPECT_PRED2(same_error, steps[0].error, c.error);
      EXPECT_TRUE(steps[0].content == (c.error.empty() ? content : ""));
      EXPECT_EQ(steps[0].filename, c.kept);
      EXPECT_EQ(steps[1].content, "intact\r\n--");
      EXPECT_EQ(steps[2].result, 0) << steps[2].error;
    }
  // A delimiter line too long to read.
  ASSERT_TRUE(start("b", "--b" + std::string(1 << 20, '-') + "x\r\n" + a + "\r\nx\r\n" +
                             Form("b").field("next", "ok").close()));
  const std::vector<Step> steps = walk(4096);
  EXPECT_EQ(steps[0].error, too_long("Error while reading boundary:", 1048582));
  EXPECT_EQ(steps[1].content, "ok");
  // A header line that fails just before the next delimiter: that part is
  // still found.
  ASSERT_TRUE(start("b", "--b\r\n" + a + "X: " + std::string(5000, 'v') + "\r\n" +
                             Form("b").field("next", "ok").close()));
  const std::vector<Step> after = walk(4096);
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0].error, too_long("", 5005));
  EXPECT_EQ(after[1].content, "ok");
}

TEST_F(AttackTest, HeaderBlockThatNeverEnds) {
  std::string body = "--b\r\n" + disposition("a");
  while (body.size() < (1u << 20)) body += "X-More: and more\r\n";
  ASSERT_TRUE(start("b", body)) << err->message;
  // The body ended inside the header block: no part, no error.
  expect_contents(walk(4096), {});
}

std::atomic<int> signals_seen{0};
void count_signal(int) { signals_seen++; }

// Signals the walking thread and waits until its handler has run. A peer
// does this before each piece it moves, so every piece meets a signal while
// the walker is blocked on it or on its way there: no timing decides
// whether signals arrive at all.
void signal_and_wait(pthread_t walker) {
  const int before = signals_seen;
  pthread_kill(walker, SIGUSR1);
  while (signals_seen == before) sched_yield();
}

// The handler has no SA_RESTART, so it interrupts blocked calls. The body
// comes through a pipe 1000 bytes at a time after a signal when slow_body;
// content goes to a pipe read after a signal per read when slow_reader:
// each interrupted read or write is retried, no byte lost.
void walk_under_signals(Request &req, bool slow_body, bool slow_reader) {
  const std::string content = random_bytes(slow_body ? 20000 : 300000, 4);
  const std::string body =
      Form("b")
          .file("f", "f.bin", "application/octet-stream", content)
          .field("next", "n")
          .close();
  req.form("b", body, slow_body ? Feed::file : Feed::pipe_whole);
  struct sigaction sa = {}, old = {};
  sa.sa_handler = count_signal;
  sigaction(SIGUSR1, &sa, &old);
  signals_seen = 0;
  const pthread_t walker = pthread_self();
  std::thread feeder;
  if (slow_body) {
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(dup2(in[0], 0), 0);
    close(in[0]);
    feeder = std::thread([&, w = in[1]] {
      sigset_t pipe_signal;  // a walk that stops early closes the pipe
      sigemptyset(&pipe_signal);
      sigaddset(&pipe_signal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
      for (size_t i = 0; i < body.size(); i += 1000) {
        signal_and_wait(walker);
        if (write(w, body.data() + i,
                  std::min<size_t>(1000, body.size() - i)) <= 0)
          break;
      }
      close(w);
    });
  }
  GError *err = nullptr;
  ASSERT_TRUE(mpread_init(&err)) << describe(err);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  std::string got;
  std::thread reader([&] {
    char buf[1000];
    for (ssize_t n;; got.append(buf, static_cast<size_t>(n))) {
      if (slow_reader) signal_and_wait(walker);
      if ((n = read(out[0], buf, sizeof buf)) <= 0) break;
    }
  });
  const std::vector<Step> steps = walk(0, out[1]);
  close(out[1]);
  reader.join();
  close(0);
  if (feeder.joinable()) feeder.join();
  sigaction(SIGUSR1, &old, nullptr);
  close(out[0]);
  EXPECT_GT(signals_seen.load(), 0);
  expect_contents(steps, {"", ""});
  EXPECT_TRUE(got == content + "n") << got.size() << " of " << content.size();
}

TEST_F(AttackTest, WriteToASlowlyReadPipeWhileSignalsArrive) {
  walk_under_signals(req, false, true);
}
TEST_F(AttackTest, SignalDuringABlockedReadOfASlowBody) {
  walk_under_signals(req, true, false);
}

}  // namespace
