// Shared by the attack tests: a walk as a careful CGI program drives it,
// going on after every failure until the walk ends, and recording all it saw.
#ifndef MPREAD_TESTS_ATTACK_H
#define MPREAD_TESTS_ATTACK_H

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mpread.h"
#include "request.h"

namespace attack {

// What one mpread_get_next_part call gave, and for a part what taking its
// content gave.
struct Step {
  int result = 0;
  std::string error;  // "domain code: message", empty when none
  testreq::Seen part;
  int content_result = 0;  // 1 complete, 0 body ended, -1 failed
  std::string content_error;
};

inline std::string describe(GError *&err) {
  if (err == nullptr) return "";
  std::string s = std::string(g_quark_to_string(err->domain)) + " " +
                  std::to_string(err->code) + ": " + err->message;
  g_clear_error(&err);
  return s;
}

// Content of the current part through mpread_write_part_to_file into a
// memory file.
inline int write_content(std::string &out, GError **error) {
  int fd = memfd_create("attack-part", 0);
  if (fd < 0) return -1;
  gboolean ok = mpread_write_part_to_file(fd, error);
  off_t n = lseek(fd, 0, SEEK_END);
  out.resize(static_cast<size_t>(n > 0 ? n : 0));
  if (n > 0 && pread(fd, out.data(), out.size(), 0) != n) out.clear();
  close(fd);
  return ok ? 1 : -1;
}

// Walks to the end: chunk > 0 takes content in chunks of that size, 0
// writes it to a descriptor. A walk that has not ended after max_calls
// calls of mpread_get_next_part fails the test: the walk must end.
inline std::vector<Step> walk_all(size_t chunk, size_t max_calls = 1000) {
  std::vector<Step> steps;
  GError *err = nullptr;
  for (size_t calls = 0; calls < max_calls; calls++) {
    Step s;
    MpreadPart p{};
    s.result = mpread_get_next_part(&p, &err);
    s.error = describe(err);
    EXPECT_EQ(s.result < 0, !s.error.empty()) << s.error;
    if (s.result == 1) {
      s.part.name = p.name;
      if (p.mime) s.part.mime = p.mime;
      if (p.filename) s.part.filename = p.filename;
      mpread_release_part(&p);
      s.content_result = chunk > 0
                             ? testreq::take_content(chunk, s.part.content, &err)
                             : write_content(s.part.content, &err);
      s.content_error = describe(err);
    }
    steps.push_back(std::move(s));
    if (steps.back().result == 0) return steps;
  }
  ADD_FAILURE() << "the walk did not end within " << max_calls << " calls";
  return steps;
}

// The parts that came out whole, content included.
inline std::vector<testreq::Seen> complete_parts(const std::vector<Step> &steps) {
  std::vector<testreq::Seen> out;
  for (const Step &s : steps)
    if (s.result == 1 && s.content_result == 1) out.push_back(s.part);
  return out;
}

inline bool same_part(const testreq::Seen &a, const testreq::Seen &b) {
  return a.name == b.name && a.mime == b.mime && a.filename == b.filename &&
         a.content == b.content;
}

// Starts a request with the given body and content type; the body goes on
// descriptor 0 through a temporary file.
class AttackTest : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  bool start(const std::string &boundary, std::string body,
             testreq::Feed feed = testreq::Feed::file) {
    mpread_release();
    req.form(boundary, std::move(body), feed);
    return mpread_init(&err);
  }
  testreq::Request req;
  GError *err = nullptr;
};

}  // namespace attack

#endif
