// Small text and file helpers shared by the machine's source files.
#pragma once

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

namespace machine_detail {

// Text without leading and trailing blanks and control characters.
inline std::string Trimmed(const std::string& Text) {
  size_t First = 0;
  size_t Last = Text.size();
  while (First < Last && static_cast<unsigned char>(Text[First]) <= ' ') ++First;
  while (Last > First && static_cast<unsigned char>(Text[Last - 1]) <= ' ') --Last;
  return Text.substr(First, Last - First);
}

inline std::string UpperCase(std::string Text) {
  for (char& C : Text) C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
  return Text;
}

inline bool SameTextIgnoringCase(const std::string& A, const std::string& B) {
  return A.size() == B.size() && std::equal(A.begin(), A.end(), B.begin(), [](char X, char Y) {
           return std::tolower(static_cast<unsigned char>(X)) == std::tolower(static_cast<unsigned char>(Y));
         });
}

// The same disk file, by name (letter case ignored, as the disk controller
// compares) or by identity on the host (another spelling of the path, a link).
inline bool SameDiskFile(const std::string& A, const std::string& B) {
  if (A.empty() || B.empty()) return false;
  if (SameTextIgnoringCase(A, B)) return true;
  std::error_code Error;
  const bool Same = std::filesystem::equivalent(A, B, Error);
  return Same && !Error;
}

inline bool RegularFileExists(const std::string& FileName) {
  std::error_code Error;
  return !FileName.empty() && std::filesystem::is_regular_file(FileName, Error);
}

}  // namespace machine_detail
