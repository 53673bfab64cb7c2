// The fixture of tests that take up a request through the reader: the
// request in place, an error location, and the library released after each
// test so that tests never see each other's state.
#ifndef MPREAD_TESTS_READER_TEST_H
#define MPREAD_TESTS_READER_TEST_H

#include <gtest/gtest.h>

#include "mpread.h"
#include "request.h"

namespace testreq {

class ReaderTest : public ::testing::Test {
 protected:
  void TearDown() override { mpread_release(); }
  // A form on descriptor 0, taken up afresh; false (err set) when refused.
  bool start(const std::string &boundary, std::string body,
             Feed feed = Feed::file) {
    mpread_release();
    req.form(boundary, std::move(body), feed);
    return mpread_init(&err);
  }
  Request req;
  GError *err = nullptr;
};

}  // namespace testreq

#endif
