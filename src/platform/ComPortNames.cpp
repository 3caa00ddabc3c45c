#include "ComPortNames.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

std::mutex MappingLock;
std::map<int, std::string>& Mapping() {
  static std::map<int, std::string> mapping;
  return mapping;
}

bool StartsWithNoCase(const std::string& text, size_t at, const char* prefix) {
  for (size_t i = 0; prefix[i]; ++i)
    if (at + i >= text.size() || std::toupper(static_cast<unsigned char>(text[at + i])) != prefix[i]) return false;
  return true;
}

}  // namespace

std::string ComPortDevice(int Number) {
  {
    std::lock_guard<std::mutex> guard(MappingLock);
    auto found = Mapping().find(Number);
    if (found != Mapping().end()) return found->second;
  }
  const std::string variable = "KORVEL_COM" + std::to_string(Number);
  if (const char* device = std::getenv(variable.c_str()); device && *device) return device;
  return "/dev/ttyS" + std::to_string(Number - 1);
}

void SetComPortDevice(int Number, const std::string& Device) {
  std::lock_guard<std::mutex> guard(MappingLock);
  if (Device.empty())
    Mapping().erase(Number);
  else
    Mapping()[Number] = Device;
}

std::string ResolveSerialDeviceName(const std::string& PortName) {
  size_t at = StartsWithNoCase(PortName, 0, "\\\\.\\") ? 4 : 0;
  if (!StartsWithNoCase(PortName, at, "COM")) return PortName;
  at += 3;
  if (at >= PortName.size() || PortName.size() - at > 3) return PortName;
  int number = 0;
  for (size_t i = at; i < PortName.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(PortName[i]))) return PortName;
    number = number * 10 + (PortName[i] - '0');
  }
  if (number < 1 || number > 255) return PortName;
  return ComPortDevice(number);
}
