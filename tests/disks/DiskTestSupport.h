// Temporary folders and image helpers for the disk tests.
#pragma once

#include "TempFolder.h"
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace disk_test {

using TTempDir = korvel_test::TTempFolder;

inline std::vector<unsigned char> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A byte pattern that differs from record to record and within each record.
inline std::vector<unsigned char> Pattern(size_t size, unsigned seed = 1) {
  std::vector<unsigned char> bytes(size);
  unsigned value = seed * 2654435761u;
  for (size_t i = 0; i < size; ++i) {
    value = value * 1103515245u + 12345u;
    bytes[i] = static_cast<unsigned char>(value >> 16);
  }
  return bytes;
}

// A whole disk whose bytes differ from record to record, as Pattern makes
// them, but whose directory (from 8 KiB to 16 KiB) is formatted: it opens as a
// disk, and a block read from the wrong place shows.
inline std::vector<unsigned char> DiskPattern(unsigned seed = 1) {
  std::vector<unsigned char> bytes = Pattern(1048576, seed);
  std::fill(bytes.begin() + 8192, bytes.begin() + 16384, 0xE5);
  return bytes;
}

// Lets files of this process grow to at most `bytes`; a write past that fails
// (EFBIG) instead of raising SIGXFSZ. For death-test children only.
inline void LimitFileSize(rlim_t bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit {bytes, bytes};
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

}  // namespace disk_test
