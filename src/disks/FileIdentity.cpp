#include "FileIdentity.h"

#include <sys/stat.h>

std::optional<TFileIdentity> TFileIdentity::OfRegularFile(const std::filesystem::path& Path) {
  struct stat info {};
  if (::stat(Path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return TFileIdentity{info.st_dev, info.st_ino};
}

bool IsSameFile(const std::filesystem::path& A, const std::filesystem::path& B) {
  const std::optional<TFileIdentity> a = TFileIdentity::OfRegularFile(A);
  return a && a == TFileIdentity::OfRegularFile(B);
}
