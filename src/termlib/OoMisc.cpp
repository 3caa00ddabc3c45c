#include "OoMisc.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

uint32_t TicksPerMillisecondFromFrequency(uint64_t Frequency) {
  if (Frequency == 0 || Frequency > UINT32_MAX) return 0;
  uint32_t Ticks = static_cast<uint32_t>(Frequency / 1000);
  if (Frequency % 1000 > 500) ++Ticks;
  return Ticks;
}

uint64_t ReadMillisecondClock() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void StartTickTimerAt(TickTimer& T, int32_t Ticks, uint64_t NowMilliseconds) {
  Ticks = std::clamp<int32_t>(Ticks, 0, MaxTimerTicks);
  T.StartTicks = static_cast<int64_t>(NowMilliseconds / 55);
  T.ExpireTicks = T.StartTicks + Ticks;
}

bool TickTimerExpiredAt(const TickTimer& T, uint64_t NowMilliseconds) {
  // The clock is 64 bits wide and monotonic, so a plain comparison is exact.
  return static_cast<int64_t>(NowMilliseconds / 55) > T.ExpireTicks;
}

void StartTickTimer(TickTimer& T, int32_t Ticks) { StartTickTimerAt(T, Ticks, ReadMillisecondClock()); }

bool TickTimerExpired(const TickTimer& T) { return TickTimerExpiredAt(T, ReadMillisecondClock()); }

bool ExistFile(const std::string& FileName) {
  std::error_code Error;
  return std::filesystem::is_regular_file(FileName, Error);
}
