#include "DefaultWorkPath.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>
#include <cstdlib>
#include <filesystem>
#include <system_error>

std::string IncludeTrailingChar(const std::string& Text, char Character) {
  if (Text.empty() || Text.back() == Character) return Text;
  return Text + Character;
}

std::string GetDefaultWorkPath(const std::string& ApplicationName) {
  std::string Base;
  const char* Public = std::getenv("PUBLIC");
  if (Public != nullptr && *Public != '\0') {
    Base = IncludeTrailingChar(Public, '/') + "Documents";
  } else {
    // The host has no public documents folder: the user's own stands in for it.
    Base = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation).toStdString();
  }
  if (Base.empty() || ApplicationName.empty()) return {};
  const std::string Folder = IncludeTrailingChar(Base, '/') + ApplicationName + '/';
  std::error_code Error;
  std::filesystem::create_directories(Folder, Error);
  if (Error || !std::filesystem::is_directory(Folder, Error)) return {};
  return Folder;
}

std::string GetProgramName() {
  const QString Path = QCoreApplication::applicationFilePath();
  return QFileInfo(Path).completeBaseName().toStdString();
}
