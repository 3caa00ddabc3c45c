// Which file a path names, as the host knows it (device and inode): two paths
// name the same file exactly when their identities are equal, however they are
// spelled (letter case, "./", links).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>

struct TFileIdentity {
  dev_t Device = 0;
  ino_t Inode = 0;

  // The identity of the regular file at Path (links followed); nothing when
  // Path names no file or something other than a regular file.
  static std::optional<TFileIdentity> OfRegularFile(const std::filesystem::path& Path);

  friend bool operator==(const TFileIdentity&, const TFileIdentity&) = default;
};

// Whether A and B name the same existing regular file.
bool IsSameFile(const std::filesystem::path& A, const std::filesystem::path& B);
