// A part's content: chunks of every size, binary bytes and near-copies of
// the end marker, the 4096-byte edges, writes to descriptors of every kind,
// and which call may take content when.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <tuple>

#include "intake.h"
#include "mpread.h"
#include "request.h"

using namespace testreq;

namespace {

const char *const kPrefix = "Error while searching for next form data part:";

class Content : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  void start(const std::string &body, Feed feed = Feed::file,
             const std::string &boundary = "bound") {
    mpread_release();
    req.form(boundary, body, feed);
    ASSERT_TRUE(mpread_init(&err)) << err->message;
  }
  void next_part() {
    MpreadPart p{};
    ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
    mpread_release_part(&p);
  }
  Request req;
  GError *err = nullptr;
};

// Reads a descriptor to its end on a thread of its own, optionally slowly so
// that the writer meets a full pipe or socket.
class Drain {
 public:
  Drain(int fd, bool slow) : thread_([this, fd, slow] {
      char buf[3000];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        if (slow) usleep(200);
      }
    }) {}
  std::string join() { thread_.join(); return got; }

 private:
  std::string got;
  std::thread thread_;
};

std::string file_contents(int fd) {
  std::string s;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, n);
  return s;
}

std::string every_byte(size_t times) {
  std::string s;
  for (size_t t = 0; t < times; t++)
    for (int c = 0; c < 256; c++) s += static_cast<char>(c);
  return s;
}

// Contents that end just before, or hold near-copies of, the end marker
// "\r\n--bound".
const std::string tricky[] = {
    every_byte(20),
    every_byte(3) + "--bound" + every_byte(1) + "\r\n--boun" + "x\r\n-",
    "--bound", "\r", "\r\n", "\r\n--boun", "-", "\r\n--boun\r\n--bou", "",
};

class Chunks
    : public Content,
      public testing::WithParamInterface<std::tuple<Feed, size_t>> {};

// Chunk size 0 stands for one mpread_write_part_to_file per part.
TEST_P(Chunks, DeliverTheContentExactly) {
  auto [feed, chunk] = GetParam();
  Form f("bound");
  for (const std::string &c : tricky) f.file("f", "x.bin", "a/b", c);
  start(f.close("\r\n"), feed);
  for (const std::string &c : tricky) {
    next_part();
    std::string got;
    if (chunk > 0) {
      EXPECT_EQ(take_content(chunk, got, &err), 1);
    } else {
      FILE *out = tmpfile();
      EXPECT_TRUE(mpread_write_part_to_file(fileno(out), &err));
      got = file_contents(fileno(out));
      fclose(out);
    }
    EXPECT_TRUE(got == c) << "content of " << c.size() << " bytes";
  }
  MpreadPart p{};
  EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
  EXPECT_EQ(err, nullptr);
}

INSTANTIATE_TEST_SUITE_P(, Chunks,
    testing::Combine(testing::ValuesIn(all_feeds),
                     testing::Values(0, 1, 2, 3, 7, 64, 4095, 4096, 4097, 65536)),
    [](const auto &info) {
      return std::string(feed_name(std::get<0>(info.param))) + "_" +
             std::to_string(std::get<1>(info.param));
    });

// The end marker split over the first or second refill at every point.
TEST_F(Content, EndMarkerAcrossBufferEdges) {
  const std::string head =
      "--bound\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\n";
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (size_t edge : {4096, 8192})
      for (char fill : {'x', '\r'})
        for (size_t at = edge - 10; at <= edge + 1; at++) {
          SCOPED_TRACE(testing::Message() << feed_name(feed) << " marker at "
                                          << at << " fill " << int(fill));
          std::string content(at - head.size(), fill);
          start(head + content + "\r\n--bound--", feed);
          next_part();
          std::string got;
          if (at % 2 == 0) {
            EXPECT_EQ(take_content(4096, got, &err), 1);
          } else {
            FILE *out = tmpfile();
            EXPECT_TRUE(mpread_write_part_to_file(fileno(out), &err));
            got = file_contents(fileno(out));
            fclose(out);
          }
          EXPECT_TRUE(got == content);
          MpreadPart p{};
          EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
        }
}

enum class Op { next, chunk, bad_chunk, write, write_neg, write_closed };
struct Step { Op op; int want; };  // next: result; others: 0 or error code

// Which call may take content after which: the flag rules as a caller meets
// them. Form: a (10 bytes), b (empty), a part without a name, c.
TEST_F(Content, FlagRules) {
  const Op N = Op::next, C = Op::chunk, X = Op::bad_chunk, W = Op::write,
           Wn = Op::write_neg, Wc = Op::write_closed;
  const std::vector<Step> cases[] = {
      {{C, 12}, {Wn, 13}, {Wc, 12}, {W, 12}, {N, 1}, {C, 0}},
      {{N, 1}, {Wn, 13}, {Wc, 13}, {C, 0}, {W, 12}, {C, 0}, {N, 1}},
      {{N, 1}, {Wc, 13}, {W, 0}, {W, 12}, {C, 12}, {Wc, 12}, {N, 1}, {W, 0}},
      {{N, 1}, {X, -1}, {C, 12}, {W, 12}, {N, 1}, {C, 0}},
      {{N, 1}, {N, 1}, {C, 0}, {C, 0}, {C, 0}, {N, -1}, {C, 12}, {W, 12},
       {N, 1}, {N, 0}, {C, 12}, {W, 12}, {Wn, 13}, {N, 0}},
  };
  for (size_t i = 0; i < std::size(cases); i++) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    Form f("bound");
    f.field("a", "0123456789").file("b", "b.txt", "text/plain", "")
        .raw("Content-Disposition: form-data\r\n\r\n", "zzz").field("c", "!");
    start(f.close());
    for (size_t s = 0; s < cases[i].size(); s++) {
      SCOPED_TRACE(testing::Message() << "step " << s);
      const Step step = cases[i][s];
      MpreadPart p{};
      char buf[4];
      size_t len;
      int null = open("/dev/null", O_WRONLY);
      int closed = dup(1);
      close(closed);
      int r = 0;
      switch (step.op) {
        case Op::next:
          EXPECT_EQ(mpread_get_next_part(&p, &err), step.want);
          mpread_release_part(&p);
          if (step.want == -1)
            EXPECT_GERROR(err, MPREAD_ERROR, 9, "Form data part name is not set");
          break;
        case Op::chunk:
          r = mpread_get_part_buffer(buf, sizeof buf, &len, &err) == 1 ? 0 : -1;
          break;
        case Op::bad_chunk:
          EXPECT_EQ(mpread_get_part_buffer(buf, 0, &len, &err), -1);
          EXPECT_GERROR_PREFIX(err, INTAKE_ERROR, INTAKE_ERROR_INVALID_ARGUMENT,
                               kPrefix);
          break;
        case Op::write:
          r = mpread_write_part_to_file(null, &err) ? 0 : -1;
          break;
        case Op::write_neg:
          r = mpread_write_part_to_file(-1, &err) ? 0 : -1;
          break;
        case Op::write_closed:
          r = mpread_write_part_to_file(closed, &err) ? 0 : -1;
          break;
      }
      close(null);
      if (step.op == Op::next || step.op == Op::bad_chunk) continue;
      if (step.want == 0) {
        EXPECT_EQ(r, 0);
        EXPECT_EQ(err, nullptr) << err->message;
      } else if (step.want == 12) {
        EXPECT_GERROR(err, MPREAD_ERROR, 12,
                      "Not at the start of the form data part's file content");
      } else {
        EXPECT_GERROR(err, MPREAD_ERROR, 13,
                      step.op == Op::write_neg
                          ? "Invalid file descriptor to write part data to"
                          : "Invalid file descriptor unable to access file");
      }
    }
    mpread_release();
  }
}

TEST_F(Content, WriteFailureIsCode14AndTheWalkGoesOn) {
  Form f("bound");
  f.field("a", "data").field("b", "next");
  start(f.close());
  next_part();
  int ro = open("/dev/null", O_RDONLY);
  EXPECT_FALSE(mpread_write_part_to_file(ro, &err));
  std::string msg = "Failed to write to file descriptor " + std::to_string(ro) +
                    ": " + g_strerror(EBADF);
  EXPECT_GERROR(err, MPREAD_ERROR, MPREAD_ERROR_WRITE_FAILED, msg.c_str());
  EXPECT_FALSE(mpread_write_part_to_file(ro, &err));
  EXPECT_GERROR(err, MPREAD_ERROR, 12,
                "Not at the start of the form data part's file content");
  close(ro);
  Walk w = walk_form(8, &err);
  ASSERT_EQ(w.parts.size(), 1u);
  EXPECT_EQ(w.parts[0].content, "next");
}

TEST_F(Content, BodyEndingInsideContent) {
  const std::string body = "--bound\r\nContent-Disposition: form-data; "
                           "name=\"a\"\r\n\r\nno end marker\r\n--boun";
  for (bool by_write : {false, true}) {
    start(body);
    next_part();
    if (by_write) {
      FILE *out = tmpfile();
      EXPECT_TRUE(mpread_write_part_to_file(fileno(out), &err));
      EXPECT_EQ(file_contents(fileno(out)), "no end marker\r\n--boun");
      fclose(out);
    } else {
      std::string got;
      EXPECT_EQ(take_content(5, got, &err), 0);
      EXPECT_EQ(got, "no end marker\r\n--boun");
      char buf[4];
      size_t len;
      EXPECT_EQ(mpread_get_part_buffer(buf, 4, &len, &err), -1);
      EXPECT_GERROR(err, MPREAD_ERROR, 12,
                    "Not at the start of the form data part's file content");
    }
    MpreadPart p{};
    EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
    EXPECT_EQ(err, nullptr);
  }
}

TEST_F(Content, TruncatedBodyIsPrefixedForBothCalls) {
  std::string body = Form("bound").field("a", std::string(9000, 'x')).close();
  std::string want = std::string(kPrefix) + "Request body ended after 6000 of " +
                     std::to_string(body.size()) + " bytes";
  for (bool by_write : {false, true}) {
    mpread_release();
    req.form("bound", body.substr(0, 6000), Feed::pipe_whole);
    Request::env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
    ASSERT_TRUE(mpread_init(&err));
    next_part();
    if (by_write) {
      int null = open("/dev/null", O_WRONLY);
      EXPECT_FALSE(mpread_write_part_to_file(null, &err));
      close(null);
    } else {
      std::string got;
      EXPECT_EQ(take_content(4096, got, &err), -1);
    }
    EXPECT_GERROR(err, INTAKE_ERROR, INTAKE_ERROR_TRUNCATED, want.c_str());
  }
}

// A non-blocking socket with a small send buffer takes part of each chunk
// and then refuses for a while: every byte must still arrive.
TEST_F(Content, ShortWritesToASocketAreContinued) {
  const std::string content = random_bytes(1 << 20, 5);
  start(Form("bound").file("f", "f", "a/b", content).close(), Feed::pipe_whole);
  next_part();
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int small = 2048;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
  Drain drain(sv[1], true);
  EXPECT_TRUE(mpread_write_part_to_file(sv[0], &err)) << err->message;
  close(sv[0]);
  EXPECT_TRUE(drain.join() == content);
  close(sv[1]);
}

// Signals that interrupt blocked reads of a trickling body, and blocked
// writes to a pipe that is drained slowly, cost nothing.
TEST_F(Content, InterruptedReadsAndWritesAreRetried) {
  struct sigaction on_alarm {}, old {};
  on_alarm.sa_handler = [](int) {};  // no SA_RESTART: calls fail with EINTR
  sigaction(SIGALRM, &on_alarm, &old);
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  itimerval every_ms{{0, 1000}, {0, 1000}}, off{};
  for (Feed feed : {Feed::pipe_slow, Feed::pipe_whole}) {
    SCOPED_TRACE(feed_name(feed));
    // Helper threads inherit the blocked mask: the signal hits this thread.
    pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
    const std::string content = random_bytes(1 << 20, 9);
    start(Form("bound").file("f", "f", "a/b", content).close(), feed);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    Drain drain(fds[0], feed == Feed::pipe_whole);
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
    setitimer(ITIMER_REAL, &every_ms, nullptr);
    next_part();
    EXPECT_TRUE(mpread_write_part_to_file(fds[1], &err)) << err->message;
    setitimer(ITIMER_REAL, &off, nullptr);
    close(fds[1]);
    EXPECT_TRUE(drain.join() == content);
    close(fds[0]);
  }
  sigaction(SIGALRM, &old, nullptr);
}

}  // namespace
