// Shared by the attack tests: a walk as a careful CGI program drives it,
// going on after every failure until the walk ends, and recording all it saw.
#ifndef MPREAD_TESTS_ATTACK_H
#define MPREAD_TESTS_ATTACK_H

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "mpread.h"
#include "reader_test.h"

namespace attack {

struct Step {
  int result = 0;       // of mpread_get_next_part
  std::string error{};  // "domain code: message", empty when none
  std::string name{}, content{};
  std::optional<std::string> filename{};
  int content_result = 0;  // 1 complete, 0 body ended, -1 failed
  std::string content_error{};
};

inline std::string describe(GError *&err) {
  if (err == nullptr) return "";
  std::string s = std::string(g_quark_to_string(err->domain)) + " " +
                  std::to_string(err->code) + ": " + err->message;
  g_clear_error(&err);
  return s;
}

// chunk > 0 takes content in chunks of that size; 0 writes it to `out`, or
// to a memory file read back into the step. A walk that has not ended after
// 1000 parts fails: it must end.
inline std::vector<Step> walk_all(size_t chunk, int out = -1) {
  std::vector<Step> steps;
  GError *err = nullptr;
  while (steps.size() < 1000) {
    Step &s = steps.emplace_back();
    MpreadPart p{};
    s.result = mpread_get_next_part(&p, &err);
    s.error = describe(err);
    EXPECT_EQ(s.result < 0, !s.error.empty()) << s.error;
    if (s.result == 0) return steps;
    if (s.result != 1) continue;
    s.name = p.name;
    if (p.filename) s.filename = p.filename;
    mpread_release_part(&p);
    if (chunk > 0) {
      s.content_result = testreq::take_content(chunk, s.content, &err);
    } else if (out >= 0) {
      s.content_result = mpread_write_part_to_file(out, &err) ? 1 : -1;
    } else {
      int fd = memfd_create("attack-part", 0);
      s.content_result = mpread_write_part_to_file(fd, &err) ? 1 : -1;
      s.content.resize(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
      EXPECT_EQ(pread(fd, s.content.data(), s.content.size(), 0),
                static_cast<ssize_t>(s.content.size()));
      close(fd);
    }
    s.content_error = describe(err);
  }
  ADD_FAILURE() << "the walk did not end";
  return steps;
}

// Every part came out whole with these contents, and the walk ended cleanly.
inline void expect_contents(const std::vector<Step> &steps,
                            const std::vector<std::string> &want) {
  ASSERT_EQ(steps.size(), want.size() + 1);
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(steps[i].content_result, 1)
        << steps[i].error << steps[i].content_error;
    // Not EXPECT_EQ: a diff of 16 MiB strings is of no use.
    EXPECT_TRUE(steps[i].content == want[i]) << "part " << i;
  }
  EXPECT_EQ(steps.back().error, "");
}

class AttackTest : public testreq::ReaderTest {};

}  // namespace attack

#endif
