#include "SerialPortList.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string_view>
#include <system_error>

#include "ComPortNames.h"

namespace fs = std::filesystem;

namespace {

bool IsDigit(char Ch) { return std::isdigit(static_cast<unsigned char>(Ch)) != 0; }

// "ttyS12" for Prefix "ttyS": the prefix followed by digits only.
bool IsNumberedName(std::string_view Name, std::string_view Prefix) {
  if (Name.size() <= Prefix.size() || Name.substr(0, Prefix.size()) != Prefix) return false;
  return std::all_of(Name.begin() + Prefix.size(), Name.end(), IsDigit);
}

// The file a path leads to, so that a link and its target count as one device;
// the path itself when it leads nowhere.
std::string Canonical(const std::string& Path) {
  std::error_code error;
  const fs::path target = fs::canonical(Path, error);
  return error ? Path : target.string();
}

// Runs of digits compare by their value: ttyS2 before ttyS10.
bool NaturalLess(const std::string& A, const std::string& B) {
  size_t i = 0, j = 0;
  while (i < A.size() && j < B.size()) {
    if (IsDigit(A[i]) && IsDigit(B[j])) {
      size_t endA = i, endB = j;
      while (endA < A.size() && IsDigit(A[endA])) ++endA;
      while (endB < B.size() && IsDigit(B[endB])) ++endB;
      std::string_view numberA = std::string_view(A).substr(i, endA - i);
      std::string_view numberB = std::string_view(B).substr(j, endB - j);
      numberA.remove_prefix(std::min(numberA.find_first_not_of('0'), numberA.size()));
      numberB.remove_prefix(std::min(numberB.find_first_not_of('0'), numberB.size()));
      if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
      if (numberA != numberB) return numberA < numberB;
      i = endA;
      j = endB;
    } else {
      if (A[i] != B[j]) return A[i] < B[j];
      ++i;
      ++j;
    }
  }
  if ((i == A.size()) != (j == B.size())) return i == A.size();
  return A < B;  // same order by value ("ttyS01", "ttyS1"): any fixed order
}

// The paths in Folder whose file name passes Wanted, in natural order; none
// when the folder is missing or unreadable.
std::vector<std::string> FolderEntries(const fs::path& Folder, const std::function<bool(const std::string&)>& Wanted) {
  std::vector<std::string> found;
  std::error_code error;
  for (fs::directory_iterator entry(Folder, error), end; !error && entry != end; entry.increment(error))
    if (Wanted(entry->path().filename().string())) found.push_back(entry->path().string());
  std::sort(found.begin(), found.end(), NaturalLess);
  return found;
}

std::vector<std::string> HostSerialDevices() {
  std::vector<std::string> devices = FolderEntries("/dev", [](const std::string& Name) {
    return IsNumberedName(Name, "ttyS") || IsNumberedName(Name, "ttyUSB") || IsNumberedName(Name, "ttyACM");
  });
  for (std::string& link : FolderEntries("/dev/serial/by-id", [](const std::string&) { return true; }))
    devices.push_back(std::move(link));
  return devices;
}

// The kernel makes /dev/ttyS<n> for every slot of the built-in serial driver,
// with or without a chip behind it; an empty slot reports the port type 0.
bool EmptySerialSlot(const std::string& CanonicalDevice) {
  const std::string name = fs::path(CanonicalDevice).filename().string();
  if (!IsNumberedName(name, "ttyS")) return false;
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = -1;
  return (type >> value) && value == 0;
}

}  // namespace

bool SerialDevicePresent(const std::string& Device) {
  if (Device.empty()) return false;
  std::error_code error;
  if (!fs::is_character_file(fs::status(Device, error))) return false;
  return !EmptySerialSlot(Canonical(Device));
}

std::vector<TSerialPortEntry> ListSerialPorts(const std::vector<std::string>& ExtraDevices) {
  std::vector<TSerialPortEntry> ports;
  std::set<std::string> listed;
  for (int number = 1; number <= LastListedComNumber; ++number) {
    const std::string device = ComPortDevice(number);
    if (!SerialDevicePresent(device)) continue;
    // Two COM numbers on one device stay two entries: both names open it.
    ports.push_back({"COM" + std::to_string(number), device, number});
    listed.insert(Canonical(device));
  }
  auto addDevice = [&](const std::string& Device) {
    if (SerialDevicePresent(Device) && listed.insert(Canonical(Device)).second) ports.push_back({Device, Device, 0});
  };
  for (const std::string& device : HostSerialDevices()) addDevice(device);
  for (const std::string& device : ExtraDevices) addDevice(device);
  return ports;
}

int ComNumberOfPortName(const std::string& Name) {
  if (Name.size() < 4 || Name.size() > 6) return 0;
  for (size_t i = 0; i < 3; ++i)
    if (std::toupper(static_cast<unsigned char>(Name[i])) != "COM"[i]) return 0;
  int number = 0;
  for (size_t i = 3; i < Name.size(); ++i) {
    if (!IsDigit(Name[i])) return 0;
    number = number * 10 + (Name[i] - '0');
  }
  return number <= 255 ? number : 0;
}
