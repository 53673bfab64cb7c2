// A part's content: which call may take it when, what a failed call says,
// and writes that take only part of each chunk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <functional>

#include "request.h"

using namespace testreq;
using mpread::Msg;

namespace {

class Content : public ReaderTest {};

// A call as a caller makes it, what it must return (-1 failed, 0 the body
// ended, else 1), and its error as describe() gives it.
struct Call {
  std::function<int()> call;
  int result;
  std::string error;
};

// Which call may take content after which, as a caller meets the rules, on
// a form of a (10 bytes), b (empty), a part without a name, and c; and on
// that form cut 5 bytes into a's content, CONTENT_LENGTH promising it all or
// saying what was sent.
TEST_F(Content, WhoMayTakeItWhen) {
  const std::string body =
      Form("bound")
          .field("a", "0123456789")
          .file("b", "b.txt", "text/plain", "")
          .raw("Content-Disposition: form-data\r\n\r\n", "zzz")
          .field("c", "!")
          .close();
  const size_t cut = body.find("0123456789") + 5;
  const std::string refused = ours(Msg::not_at_content),
                    ended = "Request body ended after " + std::to_string(cut) +
                            " of " + std::to_string(body.size()) + " bytes";
  const int null = open("/dev/null", O_WRONLY),
            ro = open("/dev/null", O_RDONLY), closed = 1000;
  ASSERT_EQ(fcntl(closed, F_GETFD), -1);
  MpreadPart p{};
  char buf[4];
  size_t len;
  std::string all;
  const auto write_to = [&](int fd) {
    return [&, fd] { return mpread_write_part_to_file(fd, &err) ? 1 : -1; };
  };
  const std::function<int()>
      next_part = [&] { return mpread_get_next_part(&p, &err); },
      take_chunk = [&] { return mpread_get_part_buffer(buf, 4, &len, &err); },
      take_all = [&] { return take_content(sizeof buf, all, &err); };
  const Call next{next_part, 1, ""},
      next_fails{next_part, -1, ours(Msg::no_name)},
      form_ends{next_part, 0, ""}, take{take_chunk, 1, ""},
      take_refused{take_chunk, -1, refused},
      // A refused size comes from the body buffer.
      take_zero_bytes_fails{
          [&] { return mpread_get_part_buffer(buf, 0, &len, &err); }, -1,
          "intake 1: " + text(Msg::search_content)},
      write{write_to(null), 1, ""}, write_refused{write_to(null), -1, refused},
      write_negative_fd{write_to(-1), -1, ours(Msg::invalid_fd)},
      write_closed_fd{write_to(closed), -1, ours(Msg::inaccessible_fd)},
      write_closed_fd_refused{write_to(closed), -1, refused},
      write_read_only_fails{write_to(ro), -1,
                            ours(Msg::write_failed, ro, g_strerror(EBADF))},
      write_read_only_refused{write_to(ro), -1, refused};
  enum Body { whole, cut_short_of_its_length, cut_as_sent };
  const struct {
    const char *what;
    Body body;
    std::vector<Call> steps;
  } scenarios[] = {
      {"before the first part there is no content; a negative descriptor is "
       "judged first",
       whole,
       {take_refused, write_negative_fd, write_closed_fd_refused, write_refused,
        next, take}},
      {"a write to a bad descriptor takes nothing; a chunk taken then refuses "
       "a write",
       whole,
       {next, write_negative_fd, write_closed_fd, take, write_refused, take,
        next}},
      {"one write takes it all: a second write or a chunk is refused; empty "
       "content writes",
       whole,
       {next, write_closed_fd, write, write_refused, take_refused,
        write_closed_fd_refused, next, write}},
      {"a chunk of no bytes fails and ends the content",
       whole,
       {next, take_zero_bytes_fails, take_refused, write_refused, next, take}},
      {"a failed write ends the content",
       whole,
       {next, write_read_only_fails, write_read_only_refused, take_refused,
        next, take}},
      {"a null part record is refused and leaves the content where it was",
       whole,
       {next,
        {[&] { return mpread_get_next_part(nullptr, &err); }, -1,
         ours(Msg::null_part)},
        take,
        take}},
      {"an untaken part is skipped; an ended content gives empty chunks; a "
       "refused part and "
       "the form's end leave no content",
       whole,
       {next, next, take, take, take, next_fails, take_refused, write_refused,
        next, form_ends, take_refused, write_refused, write_negative_fd,
        form_ends}},
      {"cut: skipped to the next part",
       cut_short_of_its_length,
       {next,
        {next_part, -1, "intake 4: " + text(Msg::search_boundary) + ended}}},
      {"cut: taken in chunks",
       cut_short_of_its_length,
       {next,
        {take_all, -1, "intake 4: " + text(Msg::search_content) + ended}}},
      {"cut: written",
       cut_short_of_its_length,
       {next,
        {write_to(null), -1,
         "intake 4: " + text(Msg::search_content) + ended}}},
      {"cut as sent: taken to the body's end",
       cut_as_sent,
       {next, {take_all, 0, ""}, form_ends}},
      {"cut as sent: written, without its end marker",
       cut_as_sent,
       {next,
        {write_to(null), -1, ours(Msg::content_unterminated)},
        form_ends}},
  };
  each_feed([&](Feed feed) {
    for (const auto &s : scenarios) {
      SCOPED_TRACE(s.what);
      mpread_release();
      req.form("bound", body.substr(0, s.body == whole ? body.size() : cut),
               feed);
      if (s.body != cut_as_sent)
        Request::env("CONTENT_LENGTH", std::to_string(body.size()).c_str());
      ASSERT_TRUE(mpread_init(&err));
      for (size_t i = 0; i < s.steps.size(); i++) {
        SCOPED_TRACE(testing::Message() << "step " << i);
        EXPECT_EQ(s.steps[i].call(), s.steps[i].result);
        mpread_release_part(&p);
        EXPECT_ERROR(err, s.steps[i].error);
      }
    }
  });
  close(null);
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
  ASSERT_TRUE(
      start("bound", Form("bound").file("f", "f", "a/b", content).close()));
  short_writes = true;
  expect_contents(walk(0), {content});
  short_writes = false;
  EXPECT_GT(shortened, 0);
}

}  // namespace
