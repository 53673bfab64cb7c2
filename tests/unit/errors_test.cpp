// Every way a call can fail, each with its code and exact text, and the
// library's life cycle: init twice, release twice, init after release.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "intake.h"
#include "mpread.h"
#include "reqinfo.h"
#include "reader_test.h"

using namespace testreq;

namespace {

class Errors : public ReaderTest {};

// The call that fails. The *_cut calls meet a body cut inside the part's
// content while CONTENT_LENGTH promises all of it; write_ended meets one
// whose CONTENT_LENGTH ends there.
enum class Call { init, next, null_part, retake, write_neg, write_closed,
                  write_ro, skip_cut, take_cut, write_cut, write_ended };

struct Failure {
  const char *what;
  Call call;
  std::string text;  // init: the whole body; else the headers of the part
                     // between "before" and "after"
  GQuark domain;
  int code;
  std::string message;  // empty or ending in ':': the component's text follows
  const char *method = "POST";  // null: unset
  std::string content_type = "multipart/form-data; boundary=b";  // "-": unset
  const char *length = nullptr;  // null: the body's size
};

// Content that looks like a further part: after a failure it must be
// skipped, never read as headers.
const std::string evil =
    "x--b\r\nContent-Disposition: form-data; name=\"evil\"\r\n\r\n" +
    std::string(5000, 'e');

TEST_F(Errors, EachFailureHasItsCodeAndText) {
  const GQuark M = MPREAD_ERROR, R = REQINFO_ERROR, I = INTAKE_ERROR;
  const std::string ct = "multipart/form-data; boundary=", b71(71, 'b');
  const std::string max = std::to_string(SIZE_MAX);
  std::string over = max;
  over.back()++;  // SIZE_MAX ends in 5 on 32 and 64 bits: this is SIZE_MAX + 1
  const std::string cd = "Content-Disposition: form-data; name=\"a\"\r\n", ok = cd + "\r\n";
  const std::string not_post =
      "Only the POST request method is supported for multipart/form-data";
  const std::string bad_start = "Request does not start with the boundary line";
  const std::string twice = "Form data part contain duplicate Content-", no_name =
      "Form data part name is not set", no_file = "filename=\"\"\r\nContent-Type: \r\n\r\n";
  const std::string not_at = "Not at the start of the form data part's file content";
  const std::string bad_fd = "Invalid file descriptor ";
  const std::string ended = "Error while searching for next form data part:";
  const int ro = open("/dev/null", O_RDONLY), null = open("/dev/null", O_WRONLY);
  using enum Call;
  const Failure cases[] = {
      {"no method", init, "--b", R, REQINFO_ERROR_MISSING, "", nullptr},
      {"get", init, "--b", M, 2, not_post, "GET"},
      {"lower-case post", init, "--b", M, 2, not_post, "post"},
      {"no content type", init, "--b", R, REQINFO_ERROR_MISSING, "", "POST", "-"},
      {"bad content type", init, "--b", R, REQINFO_ERROR_PARSE, "", "POST", ct + "\"b"},
      {"no boundary", init, "--b", M, 3, "No boundary set in the Content-Type", "POST",
       "multipart/form-data"},
      {"71 characters", init, "--" + b71, M, 4,
       "Boundary is too long max len 70 actual length 71", "POST", ct + b71},
      {"preamble", init, "x--b\r\n", M, 5, bad_start},
      {"leading CR LF", init, "\r\n--b\r\n", M, 5, bad_start},
      {"other boundary", init, "--c\r\n", M, 5, bad_start},
      {"no length", init, "--b", R, REQINFO_ERROR_INVALID, "", "POST", ct + "b", ""},
      {"length past SIZE_MAX", init, "--b\r\n", R, REQINFO_ERROR_INVALID, "CONTENT_LENGTH " +
       over + " is larger than this system's limit of " + max, "POST", ct + "b", over.c_str()},
      {"truncated", init, "--b", I, INTAKE_ERROR_TRUNCATED,
       "Request body ended after 3 of 100 bytes", "POST", ct + "bbb", "100"},
      {"null part", null_part, ok, M, 6, "Null form data part struct is not allowed"},
      {"two dispositions", next, cd + cd + "\r\n", M, 7, twice + "Disposition headers"},
      {"two types", next, cd + "Content-Type: a/b\r\ncontent-type: c/d\r\n\r\n", M, 7,
       twice + "Type headers"},
      // A bare LF does not end the block: the content is read as headers.
      {"bare LF block end", next, cd + "\nContent-Type: a/b\r\nContent-Type: c/d\r\n", M, 7,
       twice + "Type headers"},
      {"no disposition", next, "Content-Type: text/plain\r\n\r\n", M, 8,
       "Form data part does not contain a Content-Disposition"},
      // Only the whole name and a colon make the header.
      {"disposition without colon", next, "Content-Disposition form-data; name=\"a\"\r\n"
       "Content-Dispositions: form-data; name=\"a\"\r\n\r\n", M, 8,
       "Form data part does not contain a Content-Disposition"},
      {"no name", next, "Content-Disposition: form-data\r\n\r\n", M, 9, no_name},
      {"empty name first", next, "Content-Disposition: form-data; name=\"\"; " + no_file,
       M, 9, no_name},
      {"empty filename", next, "Content-Disposition: form-data; name=\"a\"; " + no_file,
       M, 10, "Form data part contains a invalid filename"},
      // An encoded file name that cannot be read is no text field.
      {"unreadable filename*", next, "Content-Disposition: form-data; name=\"a\"; "
       "filename*=UTF-8''%E2%8\r\n\r\n", M, 10, "Form data part contains a invalid filename"},
      {"empty mime", next, cd + "Content-Type: ; charset=x\r\n\r\n", M, 11,
       "Form data part contains a invalid mime"},
      {"written already", retake, ok, M, 12, not_at},
      {"negative fd", write_neg, ok, M, 13, bad_fd + "to write part data to"},
      {"closed fd", write_closed, ok, M, 13, bad_fd + "unable to access file"},
      {"read-only fd", write_ro, ok, M, 14, "Failed to write to file descriptor " +
       std::to_string(ro) + ": " + g_strerror(EBADF)},
      {"bad disposition", next, "Content-Disposition: form-data; name=\"a\r\n\r\n", R,
       REQINFO_ERROR_PARSE, "Failed to parse Content-Disposition:"},
      {"bad type", next, cd + "Content-Type: a/b; charset=\"x\r\n\r\n", R,
       REQINFO_ERROR_PARSE, "Failed to parse Content-Type:"},
      // Errors of the body buffer inside a header block have no prefix.
      {"long line", next, cd + "X-Long: " + std::string(5000, 'l') + "\r\n\r\n", I,
       INTAKE_ERROR_LINE_TOO_LONG, "Line of 5010 bytes exceeds the limit of 4095 bytes"},
      {"cut while skipping", skip_cut, ok, I, INTAKE_ERROR_TRUNCATED,
       "Error while searching for boundary:"},
      {"cut while taking", take_cut, ok, I, INTAKE_ERROR_TRUNCATED, ended},
      {"cut while writing", write_cut, ok, I, INTAKE_ERROR_TRUNCATED, ended},
      {"ended while writing", write_ended, ok, M, 15,
       "Request body ended inside the part's content"},
  };
  for (Feed feed : {Feed::file, Feed::pipe_bytewise})
    for (const Failure &c : cases) {
      SCOPED_TRACE(testing::Message() << c.what << " " << feed_name(feed));
      mpread_release();
      std::string body = c.call == init ? c.text : Form("b").field("before", "1")
          .raw(c.text, evil).field("after", "ok").close();
      const bool cut = c.call >= skip_cut;
      const size_t sent = cut ? body.find(evil) + 1000 : body.size();
      std::string message = c.message;
      if (cut && c.call != write_ended)
        message += "Request body ended after " + std::to_string(sent) + " of " +
                   std::to_string(body.size()) + " bytes";
      req.form("b", body.substr(0, sent), feed);
      Request::env("REQUEST_METHOD", c.method);
      Request::env("CONTENT_TYPE", c.content_type == "-" ? nullptr : c.content_type.c_str());
      Request::env("CONTENT_LENGTH", c.length ? c.length
                   : std::to_string(c.call == write_ended ? sent : body.size()).c_str());
      MpreadPart p{};
      if (c.call == init)
        EXPECT_FALSE(mpread_init(&err));
      else
        ASSERT_TRUE(mpread_init(&err)) << err->message;
      for (int i = c.call == init ? 0 : c.call == next ? 1 : 2; i > 0; i--) {
        ASSERT_EQ(mpread_get_next_part(&p, &err), 1);  // "before", then ours
        mpread_release_part(&p);
      }
      const int kept = memfd_create("kept", 0);
      int closed = dup(1);
      close(closed);
      std::string got;
      switch (c.call) {
        case init: break;
        case next:
        case skip_cut: EXPECT_EQ(mpread_get_next_part(&p, &err), -1); break;
        case null_part: EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1); break;
        case retake: ASSERT_TRUE(mpread_write_part_to_file(null, &err)); [[fallthrough]];
        case take_cut: EXPECT_EQ(take_content(64, got, &err), -1); break;
        default:
          EXPECT_FALSE(mpread_write_part_to_file(
              c.call == write_neg ? -1 : c.call == write_closed ? closed
              : c.call == write_ro ? ro : c.call == write_ended ? kept : null, &err));
      }
      if (message.empty() || message.back() == ':')
        EXPECT_GERROR_PREFIX(err, c.domain, c.code, message.c_str());
      else
        EXPECT_GERROR(err, c.domain, c.code, message.c_str());
      if (c.call == init) {
        EXPECT_FALSE(mpread_init(nullptr));
        EXPECT_EQ(mpread_get_next_part(&p, &err), -1);
        EXPECT_GERROR(err, M, 1, "Mpread has not been initialized");
      } else if (!cut) {
        Walk w = walk_form(64, &err);
        ASSERT_EQ(w.parts.size(), 1u);
        EXPECT_EQ(w.parts[0].name, "after");
        EXPECT_EQ(w.parts[0].content, "ok");
        EXPECT_EQ(w.last, 0);
        EXPECT_EQ(err, nullptr);
      } else if (c.call == write_ended) {
        // What there was is written; the walk then ends.
        got.resize(1001);
        EXPECT_EQ(pread(kept, got.data(), got.size(), 0), 1000);
        EXPECT_EQ(got.substr(0, 1000), evil.substr(0, 1000));
        EXPECT_EQ(mpread_get_next_part(&p, &err), 0);
        EXPECT_EQ(err, nullptr);
      }
      close(kept);
    }
  close(ro);
  close(null);
}

TEST_F(Errors, LifeCycle) {
  char buf[4];
  size_t len;
  // Before init every call says so, before judging its arguments.
  EXPECT_EQ(mpread_get_next_part(nullptr, &err), -1);
  EXPECT_GERROR(err, MPREAD_ERROR, 1, "Mpread has not been initialized");
  EXPECT_EQ(mpread_get_part_buffer(buf, sizeof buf, &len, &err), -1);
  EXPECT_GERROR(err, MPREAD_ERROR, 1, "Mpread has not been initialized");
  EXPECT_FALSE(mpread_write_part_to_file(-1, &err));
  EXPECT_GERROR(err, MPREAD_ERROR, 1, "Mpread has not been initialized");
  EXPECT_EQ(MPREAD_ERROR, g_quark_from_string("mpread"));
  mpread_release_part(nullptr);
  mpread_release();

  // A second init examines nothing again: the first request stands.
  req.form("b", Form("b").field("f", "first").close());
  ASSERT_TRUE(mpread_init(&err));
  Request::env("REQUEST_METHOD", "GET");
  EXPECT_TRUE(mpread_init(&err));
  Walk w = walk_form(16, &err);
  ASSERT_EQ(w.parts.size(), 1u);
  EXPECT_EQ(w.parts[0].content, "first");
  mpread_release();
  mpread_release();

  // A failure after the body buffer was set up leaves nothing behind.
  req.form("b", "\r\n--b");
  EXPECT_FALSE(mpread_init(&err));
  g_clear_error(&err);
  // The largest length is a limit like any other: no overflow in the
  // buffer's arithmetic.
  const std::string content = random_bytes(9000, 7);
  for (Feed feed : {Feed::file, Feed::pipe_whole}) {
    req.form("c", Form("c").file("g", "g.bin", "a/b", content).close("\r\n"),
             feed);
    Request::env("CONTENT_LENGTH", std::to_string(SIZE_MAX).c_str());
    ASSERT_TRUE(mpread_init(&err)) << err->message;
    w = walk_form(4096, &err);
    ASSERT_EQ(w.parts.size(), 1u);
    EXPECT_EQ(w.parts[0].name, "g");
    EXPECT_TRUE(w.parts[0].content == content);
    EXPECT_EQ(w.last, 0);
    EXPECT_EQ(err, nullptr);
    mpread_release();
  }
}

}  // namespace
