// A part's content: which call may take it when, and writes to a descriptor
// that takes only part of each chunk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "intake.h"
#include "mpread.h"
#include "reader_test.h"

using namespace testreq;

namespace {

class Content : public ReaderTest {};

enum class Op { next, chunk, bad_chunk, write, write_neg, write_closed, write_ro };
struct Step { Op op; int want; };  // next: result; others: 0 or the error code

// Which call may take content after which, as a caller meets the rules.
// Form: a (10 bytes), b (empty), a part without a name, c.
TEST_F(Content, FlagRules) {
  const Op N = Op::next, C = Op::chunk, X = Op::bad_chunk, W = Op::write,
           Wn = Op::write_neg, Wc = Op::write_closed, Wr = Op::write_ro;
  const std::vector<Step> cases[] = {
      {{C, 12}, {Wn, 13}, {Wc, 12}, {W, 12}, {N, 1}, {C, 0}},
      {{N, 1}, {Wn, 13}, {Wc, 13}, {C, 0}, {W, 12}, {C, 0}, {N, 1}},
      {{N, 1}, {Wc, 13}, {W, 0}, {W, 12}, {C, 12}, {Wc, 12}, {N, 1}, {W, 0}},
      {{N, 1}, {X, 1}, {C, 12}, {W, 12}, {N, 1}, {C, 0}},
      {{N, 1}, {Wr, 14}, {Wr, 12}, {C, 12}, {N, 1}, {C, 0}},
      {{N, 1}, {N, 1}, {C, 0}, {C, 0}, {C, 0}, {N, -1}, {C, 12}, {W, 12},
       {N, 1}, {N, 0}, {C, 12}, {W, 12}, {Wn, 13}, {N, 0}},
  };
  for (size_t i = 0; i < std::size(cases); i++) {
    SCOPED_TRACE(testing::Message() << "case " << i);
    mpread_release();
    req.form("bound", Form("bound").field("a", "0123456789")
        .file("b", "b.txt", "text/plain", "")
        .raw("Content-Disposition: form-data\r\n\r\n", "zzz").field("c", "!").close());
    ASSERT_TRUE(mpread_init(&err));
    for (size_t s = 0; s < cases[i].size(); s++) {
      SCOPED_TRACE(testing::Message() << "step " << s);
      const Step step = cases[i][s];
      MpreadPart p{};
      char buf[4];
      size_t len;
      int null = open("/dev/null", O_WRONLY), ro = open("/dev/null", O_RDONLY);
      int closed = dup(1);
      close(closed);
      int got = 0;
      switch (step.op) {
        case Op::next:
          got = mpread_get_next_part(&p, &err);
          mpread_release_part(&p);
          break;
        case Op::chunk: got = mpread_get_part_buffer(buf, sizeof buf, &len, &err); break;
        case Op::bad_chunk: got = mpread_get_part_buffer(buf, 0, &len, &err); break;
        case Op::write: got = mpread_write_part_to_file(null, &err); break;
        case Op::write_neg: got = mpread_write_part_to_file(-1, &err); break;
        case Op::write_closed: got = mpread_write_part_to_file(closed, &err); break;
        case Op::write_ro: got = mpread_write_part_to_file(ro, &err); break;
      }
      close(null);
      close(ro);
      // Content calls are judged by their error code. A refused size comes
      // from the body buffer; everything else is ours.
      if (step.op != Op::next) got = err ? err->code : 0;
      EXPECT_EQ(got, step.want) << (err ? err->message : "");
      EXPECT_TRUE(!err || err->domain == (step.op == Op::bad_chunk ? INTAKE_ERROR
                                                                   : MPREAD_ERROR));
      g_clear_error(&err);
    }
  }
}

// A non-blocking socket with a small send buffer takes part of each chunk
// and then refuses for a while: every byte must still arrive.
TEST_F(Content, ShortWritesToASocketAreContinued) {
  const std::string content = random_bytes(1 << 20, 5);
  req.form("bound", Form("bound").file("f", "f", "a/b", content).close(),
           Feed::pipe_whole);
  ASSERT_TRUE(mpread_init(&err));
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  mpread_release_part(&p);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  int small = 2048;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
  std::string got;
  std::thread drain([&] {
    char buf[3000];
    for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0; usleep(200))
      got.append(buf, static_cast<size_t>(n));
  });
  EXPECT_TRUE(mpread_write_part_to_file(sv[0], &err)) << err->message;
  close(sv[0]);
  drain.join();
  close(sv[1]);
  EXPECT_TRUE(got == content);
}

}  // namespace
