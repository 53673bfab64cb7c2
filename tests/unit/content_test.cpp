// A part's content: which call may take it when, what a failed call says,
// and writes that take only part of each chunk.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "request.h"

using namespace testreq;
using mpread::Msg;

namespace {

class Content : public ReaderTest {};

enum class Op { next, next_null, take, take_zero_bytes, take_all, write, write_negative,
                write_closed, write_read_only };
struct Call {
  Op op;
  int result;         // -1 with an error, 0 when the body ended, else 1
  std::string error;  // as describe() gives it
};

// Which call may take content after which, as a caller meets the rules, on
// a form of a (10 bytes), b (empty), a part without a name, and c; and on
// that form cut 5 bytes into a's content, CONTENT_LENGTH promising it all or
// saying what was sent.
TEST_F(Content, WhoMayTakeItWhen) {
  const std::string body = Form("bound").field("a", "0123456789")
      .file("b", "b.txt", "text/plain", "")
      .raw("Content-Disposition: form-data\r\n\r\n", "zzz").field("c", "!").close();
  const size_t cut = body.find("0123456789") + 5;
  const std::string refused = ours(Msg::not_at_content),
                    ended = "Request body ended after " + std::to_string(cut) + " of " +
                            std::to_string(body.size()) + " bytes";
  const int ro = open("/dev/null", O_RDONLY);
  const Call next{Op::next, 1, ""}, next_fails{Op::next, -1, ours(Msg::no_name)},
      form_ends{Op::next, 0, ""}, take{Op::take, 1, ""}, take_refused{Op::take, -1, refused},
      // A refused size comes from the body buffer.
      take_zero_bytes_fails{Op::take_zero_bytes, -1, "intake 1: " + text(Msg::search_content)},
      write{Op::write, 1, ""}, write_refused{Op::write, -1, refused},
      write_negative_fd{Op::write_negative, -1, ours(Msg::invalid_fd)},
      write_closed_fd{Op::write_closed, -1, ours(Msg::inaccessible_fd)},
      write_closed_fd_refused{Op::write_closed, -1, refused},
      write_read_only_fails{Op::write_read_only, -1, ours(Msg::write_failed, ro, g_strerror(EBADF))},
      write_read_only_refused{Op::write_read_only, -1, refused};
  enum Body { whole, cut_short_of_its_length, cut_as_sent };
  const struct {
    const char *what;
    Body body;
    std::vector<Call> steps;
  } scenarios[] = {
      {"before the first part there is no content; a negative descriptor is judged first", whole,
       {take_refused, write_negative_fd, write_closed_fd_refused, write_refused, next, take}},
      {"a write to a bad descriptor takes nothing; a chunk taken then refuses a write", whole,
       {next, write_negative_fd, write_closed_fd, take, write_refused, take, next}},
      {"one write takes it all: a second write or a chunk is refused; empty content writes", whole,
       {next, write_closed_fd, write, write_refused, take_refused, write_closed_fd_refused, next,
        write}},
      {"a chunk of no bytes fails and ends the content", whole,
       {next, take_zero_bytes_fails, take_refused, write_refused, next, take}},
      {"a failed write ends the content", whole,
       {next, write_read_only_fails, write_read_only_refused, take_refused, next, take}},
      {"a null part record is refused and leaves the content where it was", whole,
       {next, {Op::next_null, -1, ours(Msg::null_part)}, take, take}},
      {"an untaken part is skipped; an ended content gives empty chunks; a refused part and "
       "the form's end leave no content", whole,
       {next, next, take, take, take, next_fails, take_refused, write_refused, next, form_ends,
        take_refused, write_refused, write_negative_fd, form_ends}},
      {"cut: skipped to the next part", cut_short_of_its_length,
       {next, {Op::next, -1, "intake 4: " + text(Msg::search_boundary) + ended}}},
      {"cut: taken in chunks", cut_short_of_its_length,
       {next, {Op::take_all, -1, "intake 4: " + text(Msg::search_content) + ended}}},
      {"cut: written", cut_short_of_its_length,
       {next, {Op::write, -1, "intake 4: " + text(Msg::search_content) + ended}}},
      {"cut as sent: taken to the body's end", cut_as_sent, {next, {Op::take_all, 0, ""}, form_ends}},
      {"cut as sent: written, without its end marker", cut_as_sent,
       {next, {Op::write, -1, ours(Msg::content_unterminated)}, form_ends}},
  };
  each_feed([&](Feed feed) {
    for (const auto &s : scenarios) {
      SCOPED_TRACE(s.what);
      mpread_release();
      req.form("bound", body.substr(0, s.body == whole ? body.size() : cut), feed);
      if (s.body != cut_as_sent) Request::env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
      ASSERT_TRUE(mpread_init(&err));
      for (size_t i = 0; i < s.steps.size(); i++) {
        SCOPED_TRACE(testing::Message() << "step " << i);
        const Call step = s.steps[i];
        MpreadPart p{};
        char buf[4];
        size_t len;
        std::string all;
        const int null = open("/dev/null", O_WRONLY), closed = dup(1);
        close(closed);
        int got = 0;
        switch (step.op) {
          case Op::next: got = mpread_get_next_part(&p, &err); break;
          case Op::next_null: got = mpread_get_next_part(nullptr, &err); break;
          case Op::take: got = mpread_get_part_buffer(buf, sizeof buf, &len, &err); break;
          case Op::take_zero_bytes: got = mpread_get_part_buffer(buf, 0, &len, &err); break;
          case Op::take_all: got = take_content(sizeof buf, all, &err); break;
          case Op::write: got = mpread_write_part_to_file(null, &err); break;
          case Op::write_negative: got = mpread_write_part_to_file(-1, &err); break;
          case Op::write_closed: got = mpread_write_part_to_file(closed, &err); break;
          case Op::write_read_only: got = mpread_write_part_to_file(ro, &err); break;
        }
        mpread_release_part(&p);
        close(null);
        EXPECT_EQ(step.op >= Op::write && got == FALSE ? -1 : got, step.result);
        EXPECT_ERROR(err, step.error);
      }
    }
  });
  close(ro);
}

// write(2) as the library calls it. While `short_writes` is on it takes at
// most 1000 bytes a call, as a blocking socket with a small send buffer
// may: every chunk then comes through in short writes, on every run.
std::atomic<bool> short_writes{false};
std::atomic<int> shortened{0};
}  // namespace
extern "C" ssize_t write(int fd, const void *data, size_t size) {
  if (short_writes && size > 1000) {
    shortened++;
    size = 1000;
  }
  return syscall(SYS_write, fd, data, size);
}
namespace {

// Every byte must still arrive, in order.
TEST_F(Content, ShortWritesAreContinued) {
  const std::string content = random_bytes(64 << 10, 5);
  ASSERT_TRUE(start("bound", Form("bound").file("f", "f", "a/b", content).close()));
  short_writes = true;
  expect_contents(walk(0), {content});
  short_writes = false;
  EXPECT_GT(shortened, 0);
}

}  // namespace
