// The request-body buffer's search, on memory alone (find, held_tail),
// against a plain reference.
#include "search.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "request.h"

namespace {

using namespace testreq;

// The search of one match, forgotten when done.
struct Prepared {
  search::Pattern p{};
  explicit Prepared(const std::string &m) {
    EXPECT_TRUE(search::prepare(p, m.data(), m.size()));
  }
  ~Prepared() { search::forget(p); }
};

// The longest tail of d[0, n) that is a proper prefix of m.
size_t reference_tail(const std::string &m, const std::string &d, size_t n) {
  for (size_t k = std::min(m.size() - 1, n); k > 0; k--)
    if (d.compare(n - k, k, m, 0, k) == 0) return k;
  return 0;
}

// Data dense in near-copies of the match (prefixes, copies but their last
// byte or with one byte changed, whole copies) and in its bytes: the first
// occurrence from every offset, and the held tail of every prefix, agree
// with the plain reference. Long enough data for both windows.
TEST(Search, AgreesWithAPlainSearch) {
  std::mt19937 gen(5);
  // Of a browser's characters: no CR, no '-'.
  const std::string boundary =
      "pGpBeE2hgKzCLWoCROXdhXKpoBhPFgGynAQHV0jfw543qiLG64EwcFbBH2USXXZ0fLts";
  const std::vector<std::string> matches = {
      "\r",
      "\r\n",
      "--" + boundary,
      "\r\n--" + boundary + "--",                // 1, 2, 70, 74
      "\r\n--" + std::string(70, '-'),           // last byte repeats
      std::string(6, '\r') + "\n--" + boundary,  // first byte recurs
      "\r\n" + std::string(300, '-') + "end"};   // past the 255-byte move limit
  for (const std::string &m : matches) {
    SCOPED_TRACE(testing::Message() << m.size() << " bytes "
                                    << testing::PrintToString(m.substr(0, 8)));
    std::string d;
    while (d.size() < 40 * std::min<size_t>(m.size(), 255) + 1000) {
      std::string piece = m;
      // Whole copies now and then (some behind a prefix of their own), so
      // that stretches without one are long.
      switch (gen() % 6) {
        case 0:
          piece.resize(gen() % m.size());
          break;
        case 1:
          piece.pop_back();
          break;
        case 2:
          piece[gen() % m.size()] ^= static_cast<char>(1 + gen() % 255);
          break;
        case 3:
          piece = std::string(1 + gen() % 9, m[gen() % m.size()]);
          break;
        default:
          if (gen() % 8 != 0)
            piece = random_bytes(1 + gen() % 300, gen());
          else if (gen() % 2 != 0)
            piece = m.substr(0, gen() % m.size()) + m;
      }
      d += piece;
    }
    const Prepared s(m);
    const auto *u = reinterpret_cast<const unsigned char *>(d.data());
    for (size_t from = 0; from < d.size(); from++) {
      const size_t at = search::find(s.p, u + from, d.size() - from);
      ASSERT_EQ(at == search::not_found ? std::string::npos : at + from,
                d.find(m, from))
          << "from " << from;
      ASSERT_EQ(search::held_tail(s.p, u, d.size() - from),
                reference_tail(m, d, d.size() - from))
          << "prefix of " << d.size() - from;
    }
  }
}

}  // namespace
