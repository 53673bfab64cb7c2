// A part's content: which call may take it when, and writes to a socket
// that takes only part of each chunk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "intake.h"
#include "request.h"

using namespace testreq;
using mpread::Msg;

namespace {

class Content : public ReaderTest {};

enum class Op { next, take, take_zero_bytes, write, write_negative, write_closed, write_read_only };
struct Call {
  Op op;
  int result;         // of mpread_get_next_part
  std::string error;  // as describe() gives it, "" for none
};
const std::string refused = ours(Msg::not_at_content);
const Call next_part{Op::next, 1, ""}, next_fails{Op::next, -1, ours(Msg::no_name)},
    form_ends{Op::next, 0, ""}, take{Op::take, 0, ""}, take_refused{Op::take, 0, refused},
    // A refused size comes from the body buffer.
    take_zero_bytes_fails{Op::take_zero_bytes, 0, "intake 1: " + text(Msg::search_content)},
    write{Op::write, 0, ""}, write_refused{Op::write, 0, refused},
    write_negative_fd{Op::write_negative, 0, ours(Msg::invalid_fd)},
    write_closed_fd{Op::write_closed, 0, ours(Msg::inaccessible_fd)},
    write_closed_fd_refused{Op::write_closed, 0, refused},
    write_read_only_fails{Op::write_read_only, 0, "mpread 14: Failed to write to file descriptor "},
    write_read_only_refused{Op::write_read_only, 0, refused};

// Which call may take content after which, as a caller meets the rules, on
// a form of a (10 bytes), b (empty), a part without a name, and c.
TEST_F(Content, WhoMayTakeItWhen) {
  const struct {
    const char *what;
    std::vector<Call> steps;
  } scenarios[] = {
      {"before the first part there is no content; a negative descriptor is judged first",
       {take_refused, write_negative_fd, write_closed_fd_refused, write_refused, next_part, take}},
      {"a write to a bad descriptor takes nothing; a chunk taken then refuses a write",
       {next_part, write_negative_fd, write_closed_fd, take, write_refused, take, next_part}},
      {"one write takes it all: a second write or a chunk is refused; empty content writes",
       {next_part, write_closed_fd, write, write_refused, take_refused, write_closed_fd_refused,
        next_part, write}},
      {"a chunk of no bytes fails and ends the content",
       {next_part, take_zero_bytes_fails, take_refused, write_refused, next_part, take}},
      {"a failed write ends the content",
       {next_part, write_read_only_fails, write_read_only_refused, take_refused, next_part, take}},
      {"an untaken part is skipped; an ended content gives empty chunks; a refused part and "
       "the form's end leave no content",
       {next_part, next_part, take, take, take, next_fails, take_refused, write_refused,
        next_part, form_ends, take_refused, write_refused, write_negative_fd, form_ends}},
  };
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.what);
    ASSERT_TRUE(start("bound", Form("bound").field("a", "0123456789")
        .file("b", "b.txt", "text/plain", "")
        .raw("Content-Disposition: form-data\r\n\r\n", "zzz").field("c", "!").close()));
    for (size_t i = 0; i < s.steps.size(); i++) {
      SCOPED_TRACE(testing::Message() << "step " << i);
      const Call step = s.steps[i];
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
        case Op::take: got = mpread_get_part_buffer(buf, sizeof buf, &len, &err); break;
        case Op::take_zero_bytes: got = mpread_get_part_buffer(buf, 0, &len, &err); break;
        case Op::write: got = mpread_write_part_to_file(null, &err); break;
        case Op::write_negative: got = mpread_write_part_to_file(-1, &err); break;
        case Op::write_closed: got = mpread_write_part_to_file(closed, &err); break;
        case Op::write_read_only: got = mpread_write_part_to_file(ro, &err); break;
      }
      close(null);
      close(ro);
      if (step.op == Op::next) {
        EXPECT_EQ(got, step.result);
      }
      EXPECT_ERROR(err, step.error);
    }
  }
}

// write(2) as the library calls it. To the watched descriptor it takes at
// most 1000 bytes a call, as a blocking socket with a small send buffer
// may: every chunk then comes through in short writes, on every run.
std::atomic<int> watched{-1}, short_writes{0};
}  // namespace
extern "C" ssize_t write(int fd, const void *data, size_t size) {
  if (fd == watched && size > 1000) {
    short_writes++;
    size = 1000;
  }
  return syscall(SYS_write, fd, data, size);
}
namespace {

// Every byte must still arrive, in order.
TEST_F(Content, ShortWritesToASocketAreContinued) {
  const std::string content = random_bytes(64 << 10, 5);
  ASSERT_TRUE(start("bound", Form("bound").file("f", "f", "a/b", content).close()));
  MpreadPart p{};
  ASSERT_EQ(mpread_get_next_part(&p, &err), 1);
  mpread_release_part(&p);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::string got;
  std::thread peer([&] {
    char buf[1000];
    for (ssize_t n; (n = read(sv[1], buf, sizeof buf)) > 0;)
      got.append(buf, static_cast<size_t>(n));
  });
  short_writes = 0;
  watched = sv[0];
  EXPECT_TRUE(mpread_write_part_to_file(sv[0], &err)) << err->message;
  watched = -1;
  close(sv[0]);
  peer.join();
  close(sv[1]);
  EXPECT_GT(short_writes, 0);
  EXPECT_TRUE(got == content) << got.size() << " of " << content.size();
}

}  // namespace
