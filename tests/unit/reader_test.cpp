// The reader in-process: taking up a request and the library's life cycle;
// walks of whole forms through every feed, with the content taken a byte at
// a time, in chunks of a buffer's size, written out, or left untaken; and
// which content call may take it when, what a failed call says, and writes
// that take only part of each chunk. How the components judge the CGI
// variables is their own table (reqinfo_test.cpp); the headers of a part are
// in the attack table; the list of errors is checked against the manual page
// (tests/install/check-man.sh).
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

class Errors : public ReaderTest {};
class Walk : public ReaderTest {};
class Content : public ReaderTest {};

// The CGI variables and the start of the body as the request gives them:
// refused with the error given, or taken ("") and walked. A refusal of a
// component is passed on as it was raised.
TEST_F(Errors, InitTakesOrRefusesTheRequest) {
  const char *const M = "REQUEST_METHOD", *const T = "CONTENT_TYPE",
                    *const L = "CONTENT_LENGTH",
                    *const body = "body";  // the body begins with the value
  const std::string ct = "multipart/form-data; boundary=", b70(70, 'B');
  const struct {
    const char *what, *variable;
    std::optional<std::string> value;  // none: unset
    std::string error, boundary = "b";
  } scenarios[] = {
      {"no request method", M, std::nullopt, "reqinfo 1: "},
      {"a GET", M, "GET", ours(Msg::unsupported_method)},
      {"post in lower case", M, "post", ours(Msg::unsupported_method)},
      {"an unclosed quote", T, "multipart/form-data; boundary=\"b",
       "reqinfo 3: "},
      {"no boundary", T, "multipart/form-data", ours(Msg::no_boundary)},
      {"an empty boundary", T, ct, "", ""},
      {"70 characters", T, ct + b70, "", b70},
      {"71 characters", T, ct + b70 + "B",
       ours(Msg::boundary_too_long, 70u, size_t{71})},
      // The boundary is used as the component gives it, unquoted.
      {"escapes in quotes", T, ct + "\"a\\\"b\\\\c\"", "", "a\"b\\c"},
      {"a length of 0", L, "0", "reqinfo 2: CONTENT_LENGTH is 0: no body"},
      {"a preamble", body, "x", ours(Msg::bad_start)},
      {"CR LF before the delimiter", body, "\r\n", ours(Msg::bad_start)},
      {"another boundary's delimiter", body, "--c\r\n", ours(Msg::bad_start)},
  };
  for (const auto &s : scenarios) {
    SCOPED_TRACE(s.what);
    mpread_release();
    const std::string form =
        Form(s.boundary).field("a", "ok\r\n-").close("\r\n");
    req.form(s.boundary, s.variable == body ? *s.value + form : form);
    if (s.variable != body)
      Request::env(s.variable, s.value ? s.value->c_str() : nullptr);
    const bool ok = mpread_init(&err);
    EXPECT_ERROR(err, s.error);
    if (ok) {
      EXPECT_EQ(lines(4096), Lines({"a=ok\r\n-", ""}));
      continue;
    }
    // Refused, the library stays uninitialised, and every call says so
    // before judging its arguments.
    EXPECT_FALSE(mpread_init(nullptr));
    EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1);
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
    EXPECT_EQ(mpread_get_part_buffer(nullptr, 0, nullptr, &err), -1);
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
    EXPECT_FALSE(mpread_write_part_to_file(-1, &err));
    EXPECT_EQ(describe(err), ours(Msg::not_initialized));
  }
}

TEST_F(Errors, LifeCycle) {
  mpread_release_part(nullptr);
  mpread_release();

  // A second init examines nothing again: the first request stands.
  ASSERT_TRUE(start("b", Form("b").field("f", "first").close()));
  Request::env("REQUEST_METHOD", "GET");
  EXPECT_TRUE(mpread_init(&err));
  EXPECT_EQ(lines(16), Lines({"f=first", ""}));
  mpread_release();
  mpread_release();

  // The largest length is a limit like any other: no overflow in the
  // buffer's arithmetic.
  const std::string content = random_bytes(9000, 7);
  each_feed([&](Feed feed) {
    req.form("c", Form("c").file("g", "g.bin", "a/b", content).close("\r\n"),
             feed);
    Request::env("CONTENT_LENGTH", std::to_string(SIZE_MAX).c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    // Not EXPECT_EQ: a diff of binary content is of no use.
    EXPECT_TRUE(lines(4096) == Lines({"g[g.bin](a/b)=" + content, ""}));
    mpread_release();
  });
}

// Every part as the client sent it, then a clean end.
struct Row {
  std::string what, boundary, body;
  std::vector<std::string> parts;  // as line() gives them
};

std::vector<Row> forms() {
  const std::string b =
      "---------------------------9051914041544843365972754266";
  const std::string bin = random_bytes(10000, 7);
  const std::string near =
      "\r\n-" + b.substr(0, 20) + "\r\n--" + b.substr(0, 50) + "\r";
  Form f(b);
  f.field("text", "text default")
      .file("file1", "a.txt", "text/plain", "Content of a.txt.\r\n")
      // Header names in any case, blanks before the colon allowed.
      .raw(
          "content-disposition: form-data; name=\"file2\"; "
          "filename=\"C:\\fakepath\\a.html\"\r\nContent-Transfer-Encoding: "
          "binary\r\n"
          "CONTENT-TYPE: text/html\r\nX-Other: 1\r\n\r\n",
          "<b>a.html</b>")
      .raw(
          "content-disposition \t: form-data; name=\"csv\"; "
          "filename=\"t.csv\"\r\n"
          "Content-Type : text/csv\r\n\r\n",
          "a,b")
      .field("utf8", "na\xc3\xafve \xe2\x82\xac")
      .file("bin", "b.bin", "application/octet-stream", bin)
      .field("near", near)
      .field("empty", "");
  std::vector<Row> rows = {
      {"a browser's form",
       b,
       f.close("\r\n"),
       {"text=text default", "file1[a.txt](text/plain)=Content of a.txt.\r\n",
        "file2[a.html](text/html)=<b>a.html</b>", "csv[t.csv](text/csv)=a,b",
        "utf8=na\xc3\xafve \xe2\x82\xac",
        "bin[b.bin](application/octet-stream)=" + bin, "near=" + near,
        "empty="}}};
  // The form closes at a delimiter line whose text after the delimiter ends
  // in "--" once its line ending and trailing blanks are gone; what follows
  // it is never read. Boundaries that are empty or end in dashes count only
  // what follows the delimiter.
  for (std::string b : {"b", "ab--", ""}) {
    const std::string ghost = "--" + b +
                              "\r\nContent-Disposition: form-data; "
                              "name=\"ghost\"\r\n\r\nboo\r\n--" +
                              b + "--\r\n";
    for (const std::string &tail : std::vector<std::string>{
             "", "\r\n", "\n", " \t \r\n" + ghost, "\r\n\r\n", "\r\n" + ghost,
             "\r\nContent-Type: x\r\n\r\n"})
      rows.push_back({"closed by " + b + "--" + tail,
                      b,
                      Form(b).field("f", "v").field("g", "w").close(tail),
                      {"f=v", "g=w"}});
  }
  // Content is skipped to its end marker however long it is and whatever it
  // holds, so the next part is the one the client sent (content that looks
  // like a part is in the attack table).
  for (const std::string &content :
       {std::string(4095, 'c'), std::string(4096, 'c'),
        "a--b" + std::string(5000, '\r'), std::string("\r\n--\r\n-"),
        std::string(8190, '\n') + "\r\n-"})
    rows.push_back(
        {"content of " + std::to_string(content.size()),
         "b",
         Form("b").file("up", "u", "a/b", content).field("next", "ok").close(),
         {"up[u](a/b)=" + content, "next=ok"}});
  return rows;
}

TEST_F(Walk, EveryPartAsSent) {
  for (const Row &row : forms()) {
    SCOPED_TRACE(testing::PrintToString(row.what));
    each_feed([&](Feed feed) {
      for (size_t chunk : {size_t{1}, size_t{4096}, size_t{0}, untaken}) {
        SCOPED_TRACE(chunk);
        ASSERT_TRUE(start(row.boundary, row.body, feed));
        const std::vector<Step> got = walk(chunk);
        ASSERT_EQ(got.size(), row.parts.size() + 1);
        for (size_t i = 0; i < row.parts.size(); i++) {
          // Untaken content is "", with no result.
          const std::string &want = row.parts[i];
          EXPECT_TRUE(line(got[i]) ==
                      (chunk == untaken
                           ? want.substr(0, want.find('=') + 1) + "|0"
                           : want))
              << line(got[i]).substr(0, 200);
        }
        EXPECT_EQ(got.back().error, "");
        // Ended, the form stays so.
        MpreadPart p{};
        EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
        EXPECT_EQ(err, nullptr);
      }
    });
  }
}

// A call as a caller makes it, what it must return (-1 failed, 0 the body
// ended, else 1), and its error as describe() gives it.
struct Call {
  std::function<int()> call;
  int result;
  std::string error;
};

// Which call may take content after which, as a caller meets the rules, on
// a form of a (10 bytes), b (empty), a part without a name, and c; and on
// that form cut 5 bytes into a's content, CONTENT_LENGTH saying what was
// sent. (A body cut short of its length is in the attack table.)
TEST_F(Content, WhoMayTakeItWhen) {
  const std::string body =
      Form("bound")
          .field("a", "0123456789")
          .file("b", "b.txt", "text/plain", "")
          .raw("Content-Disposition: form-data\r\n\r\n", "zzz")
          .field("c", "!")
          .close();
  const std::string refused = ours(Msg::not_at_content);
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
                            ours(Msg::write_failed, ro, g_strerror(EBADF))};
  const bool whole = false, cut = true;
  const struct {
    const char *what;
    bool cut;
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
       {next, write_read_only_fails, write_refused, take_refused, next, take}},
      {"a null part record is refused and leaves the content where it was",
       whole,
       {next,
        {[&] { return mpread_get_next_part(nullptr, &err); }, -1,
         ours(Msg::null_part)},
        take,
        take}},
      {"an untaken part is skipped; an ended content gives empty chunks; a "
       "refused part and the form's end leave no content",
       whole,
       {next, next, take, take, take, next_fails, take_refused, write_refused,
        next, form_ends, take_refused, write_refused, write_negative_fd,
        form_ends}},
      {"cut: taken to the body's end",
       cut,
       {next, {take_all, 0, ""}, form_ends}},
      {"cut: written, without its end marker",
       cut,
       {next,
        {write_to(null), -1, ours(Msg::content_unterminated)},
        form_ends}},
  };
  each_feed([&](Feed feed) {
    for (const auto &s : scenarios) {
      SCOPED_TRACE(s.what);
      mpread_release();
      req.form("bound",
               body.substr(0, s.cut ? body.find("56789") : body.size()), feed);
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
  EXPECT_TRUE(lines(0) == Lines({"f[f](a/b)=" + content, ""}));
  short_writes = false;
  EXPECT_GT(shortened, 0);
}

}  // namespace
