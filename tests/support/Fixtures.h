// Paths of the shared test data and small helpers for tests that need it.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace korvel_test {

// The shared fixtures folder beside the checkout (../shared/fixtures).
inline std::filesystem::path FixturesDir() { return std::filesystem::path(KORVEL_FIXTURES_DIR); }

inline std::filesystem::path Fixture(const std::string& relative) { return FixturesDir() / relative; }

inline bool HasFixture(const std::string& relative) { return std::filesystem::exists(Fixture(relative)); }

inline std::vector<unsigned char> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bytes of a shared fixture file.
inline std::vector<unsigned char> FixtureBytes(const std::string& relative) { return ReadFile(Fixture(relative)); }

}  // namespace korvel_test

// Skips the current test with a clear message when a shared fixture is absent.
#define KORVEL_REQUIRE_FIXTURE(relative)                                                       \
  do {                                                                                          \
    if (!::korvel_test::HasFixture(relative))                                                   \
      GTEST_SKIP() << "shared fixture " << ::korvel_test::Fixture(relative).string()            \
                   << " is absent; place ../shared/fixtures beside the checkout to run this test"; \
  } while (0)
