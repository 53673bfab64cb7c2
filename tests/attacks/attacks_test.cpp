// The table of attacks: bodies and requests written to break a multipart
// reader. Each must end in bounded time and memory with a clean result or
// an error naming the problem, and lose or change no byte of any part that
// came out whole. Built twice: the 100 MB row alone is the slow tests
// (MPREAD_SLOW_ROWS), which the sanitizer and valgrind runs leave out.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>

#include "request.h"

#ifndef MPREAD_SLOW_ROWS
#define MPREAD_SLOW_ROWS 0
#endif

using namespace testreq;
using mpread::Msg;

namespace {

struct Attack {
  std::string name, body;        // boundary "b"
  std::vector<std::string> out;  // a line per mpread_get_next_part (see line)
  size_t chunk = 4096;           // 0: content through a descriptor
  // CONTENT_LENGTH promises the body, only this much of it comes.
  size_t sent = std::string::npos;
  // Fed by a thread through a pipe, followed by `times` copies of
  // `repeated`; with `signals` the first 20000 bytes come after a signal
  // each 1000, and content goes to a pipe, read after a signal each 1000
  // bytes, that must give `piped`.
  std::string repeated{};
  size_t times = 0;
  bool signals = false;
  std::string piped{};
};
void PrintTo(const Attack &a, std::ostream *os) { *os << a.name; }

std::atomic<int> signals_seen{0};
void count_signal(int) { signals_seen++; }

// Signals the walking thread and waits until its handler has run. A peer
// does this before each piece it moves, so every piece meets a signal while
// the walker is blocked on it or on its way there: no timing decides
// whether signals arrive at all. The handler has no SA_RESTART, so it
// interrupts blocked reads and writes, which must be retried.
pthread_t walker;
void signal_walker(bool signals) {
  if (!signals) return;
  const int before = signals_seen;
  pthread_kill(walker, SIGUSR1);
  while (signals_seen == before) sched_yield();
}

bool put(int w, const std::string &s, bool signals) {
  for (size_t i = 0; i < s.size();) {
    signal_walker(signals);
    const ssize_t n = write(w, s.data() + i,
                            std::min(signals ? 1000 : s.size(), s.size() - i));
    if (n <= 0) return false;
    i += size_t(n);
  }
  return true;
}

long peak_kib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

std::vector<Attack> attacks() {
  auto cd = [](const std::string &params) {
    return "Content-Disposition: form-data; " + params + "\r\n";
  };
  auto file = [&](const std::string &n) {
    return cd("name=\"a\"; filename=\"" + n + "\"");
  };
  auto too_long = [](const char *prefix, size_t n) {
    return "intake 5: " + std::string(prefix) + "Line of " + std::to_string(n) +
           " bytes exceeds the limit of 4095 bytes";
  };
  const std::string a = cd("name=\"a\""),
                    content = "x--b\r\n" + a + "\r\n" + std::string(5000, 'e');
  auto kept = [&](const std::string &n) { return "a[" + n + "]=" + content; };
  std::vector<Attack> rows;
  auto add = [&](const char *name, const std::string &body,
                 std::vector<std::string> out,
                 size_t chunk = 4096) -> Attack & {
    return rows.emplace_back(Attack{name, body, std::move(out), chunk});
  };
  // The first part's header lines and what comes of that part; content that
  // looks like a further part is skipped, the next part comes out whole.
  auto part = [&](const char *name, const std::string &headers,
                  const std::string &out) {
    add(name, Form("b").raw(headers + "\r\n", content).field("n", "v").close(),
        {out, "n=v", ""});
  };
  // A bare LF does not end the block: the content is read as headers, its
  // second type is one too many.
  part("BareLineFeedAsBlankLine", a + "\nContent-Type: a/b\r\nContent-Type: c",
       ours(Msg::duplicate_type));
  // Only the whole name and a colon make the header: a filter in front of
  // the server sees it under another name.
  part("NameWithoutColon", "Content-Disposition form-data; name=a\r\n",
       ours(Msg::no_disposition));
  part("EmptyName", cd("name=\"\"; filename=\"\""), ours(Msg::no_name));
  // A folded type is not unfolded: its first line's empty value is refused
  // (UBSan under the fuzzer caught a memcpy from null for empty values).
  part("FoldedType", a + "Content-Type:\r\n\ttext/plain\r\n",
       ours(Msg::invalid_mime));
  part("NulInAHeaderLine", "X: a" + std::string(1, '\0') + "b\r\n" + a,
       "intake 6: Line contains a NUL byte");
  part("EmptyFileName", file(""), ours(Msg::invalid_filename));
  // A file name keeps no directory, whichever separator stands last, and
  // is never "." or ".." (the walk fuzz target holds both for any name). One
  // that decodes to a line break comes out empty (reqinfo_test.cpp), so is
  // refused as EmptyFileName is.
  part("SlashThenBackslash", file("../..\\c.txt"), kept("c.txt"));
  part("DotDot", file(".."), kept(""));
  const std::string ok = Form("b").field("n", "v").close();
  add("DelimiterLineOfAMegabyte",
      "--b" + std::string(1 << 20, '-') + "x\r\n" + a + "\r\nx\r\n" + ok,
      {too_long("Error while reading boundary:", 1048582), "n=v", ""});
  // That part is still found.
  add("TooLongJustBeforeTheNextDelimiter",
      "--b\r\n" + a + "X: " + std::string(5000, 'v') + "\r\n" + ok,
      {too_long("", 5005), "n=v", ""});
  // A client gone mid-upload: said so, once, and the walk ends.
  const std::string cut = Form("b").field("a", "hello").close(),
                    ended = ":Request body ended after 52 of 61 bytes";
  add("CutShortOfItsLength", cut,
      {"a=|-1intake 4: Error while searching for next form data part" + ended,
       "intake 4: Error while searching for boundary" + ended, ""})
      .sent = cut.find("lo");
  const std::string bin = random_bytes(300000, 4);
  add("UnderSignals", Form("b").file("f", "f", "a/b", bin).close(),
      {"f[f](a/b)=", ""}, 0)
      .piped = bin;
  rows.back().signals = true;
  // A 100 MB upload through a pipe, never held whole, in the memory a small
  // one takes. The content: random bytes laced with near-misses of the end
  // marker, so the search works as hard as on a hostile upload.
  std::string near = random_bytes(65536, 3);
  for (size_t at = 0; at + 8 < near.size(); at += 997)
    near.replace(at, 4, "\r\n--");
  add("HundredMegabytes", "--b\r\n" + a + "\r\n",
      {"a=|-1" + ours(Msg::content_unterminated), ""}, 0)
      .repeated = near;
  rows.back().times = 1600;
  std::erase_if(
      rows, [](const Attack &r) { return (r.times > 0) != MPREAD_SLOW_ROWS; });
  return rows;
}

class Attacks : public ReaderTest,
                public testing::WithParamInterface<Attack> {};

TEST_P(Attacks, EndCleanly) {
  const Attack &a = GetParam();
  const bool live = a.signals || a.times > 0;
  walker = pthread_self();
  signal(SIGPIPE, SIG_IGN);  // a walk that stops early closes its pipes
  struct sigaction sa = {};
  sa.sa_handler = count_signal;
  sigaction(SIGUSR1, &sa, nullptr);
  for (Feed feed : {Feed::file, Feed::pipe_bytewise}) {
    if (feed != Feed::file && (live || a.body.size() > 100000)) continue;
    SCOPED_TRACE(feed_name(feed));
    req.form("b", a.body.substr(0, a.sent), feed);
    Request::env(
        "CONTENT_LENGTH",
        std::to_string(a.body.size() + a.repeated.size() * a.times).c_str());
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    ASSERT_TRUE((!live || pipe(in) == 0) && (!a.signals || pipe(out) == 0));
    if (a.times > 0) out[1] = open("/dev/null", O_WRONLY);
    std::thread feeder, drain;
    std::string piped;
    if (live) {
      dup2(in[0], 0);
      close(in[0]);
      // Slow at first, so that reads wait on the feeder, then fast, so that
      // writes to the content pipe wait on the drain.
      feeder = std::thread([&, w = in[1]] {
        bool ok = put(w, a.body.substr(0, 20000), a.signals) &&
                  put(w, a.body.substr(std::min<size_t>(20000, a.body.size())),
                      false);
        for (size_t i = 0; ok && i < a.times; i++)
          ok = put(w, a.repeated, false);
        close(w);
      });
    }
    if (a.signals)
      drain = std::thread([&] {
        char buf[1000];
        for (ssize_t n;
             signal_walker(true), (n = read(out[0], buf, sizeof buf)) > 0;)
          piped.append(buf, size_t(n));
      });
    const long peak = peak_kib();
    ASSERT_TRUE(mpread_init(&err)) << describe(err);
    const std::vector<Step> steps = walk(a.chunk, out[1]);
    mpread_release();
    // Nothing may grow with the content.
    EXPECT_TRUE(a.times == 0 || peak_kib() - peak < 8 * 1024)
        << peak_kib() - peak << " KiB more";
    close(out[1]);
    if (drain.joinable()) drain.join();
    if (feeder.joinable()) {
      close(0);  // unblocks the feeder should the walk have stopped
      feeder.join();
    }
    close(out[0]);
    EXPECT_TRUE(piped == a.piped && (!a.signals || signals_seen > 0))
        << piped.size() << " bytes";
    ASSERT_EQ(steps.size(), a.out.size());
    for (size_t i = 0; i < steps.size(); i++)  // no diffs of megabyte strings
      EXPECT_TRUE(same_error(line(steps[i]), a.out[i]))
          << i << ": " << line(steps[i]).substr(0, 200);
  }
}

INSTANTIATE_TEST_SUITE_P(, Attacks, testing::ValuesIn(attacks()),
                         [](const auto &info) { return info.param.name; });

}  // namespace
