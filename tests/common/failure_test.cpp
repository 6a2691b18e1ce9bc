#include "common/failure.hpp"

#include <gtest/gtest.h>

#include <cstdint>

#include "common/error.hpp"

namespace quillmere {
namespace {

std::string failure_of(auto&& f) {
  try {
    f();
  } catch (const InternalFailure& e) {
    return e.message;
  }
  return "(no failure)";
}

TEST(Failure, EqualityAssertionText) {
  EXPECT_EQ(failure_of([] { assert_eq(std::uint64_t{2}, std::uint64_t{3}); }),
            "assertion `left == right` failed\n  left: 2\n right: 3");
  EXPECT_EQ(failure_of([] { assert_eq(-7, 40, "Lengths differ."); }),
            "assertion `left == right` failed: Lengths differ.\n  left: -7\n right: 40");
  EXPECT_EQ(failure_of([] { assert_eq(5, 5); }), "(no failure)");
}

TEST(Failure, PrintsMessageAndLocationToStandardError) {
  testing::internal::CaptureStderr();
  const std::string message = failure_of([] { fail("broken invariant"); });
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(message, "broken invariant");
  EXPECT_NE(printed.find("failure_test.cpp:"), std::string::npos) << printed;
  EXPECT_NE(printed.find("broken invariant"), std::string::npos) << printed;
}

TEST(Failure, IsNotAStandardException) {
  // Only code that names InternalFailure stops it; a catch of std::exception does not.
  bool caught_as_std = false, caught_by_name = false;
  try {
    try {
      fail("x");
    } catch (const std::exception&) {
      caught_as_std = true;
    }
  } catch (const InternalFailure&) {
    caught_by_name = true;
  }
  EXPECT_FALSE(caught_as_std);
  EXPECT_TRUE(caught_by_name);
}

TEST(ErrorValue, CarriesItsKindAndMessage) {
  const Result<int> bad = make_error(ErrorKind::NotFound, "Table t not found");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind, ErrorKind::NotFound);
  EXPECT_EQ(bad.error().message, "Table t not found");
  const Result<int> good = 4;
  EXPECT_EQ(*good, 4);
}

}  // namespace
}  // namespace quillmere
