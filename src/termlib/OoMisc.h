// Foundation of the terminal and serial component library: the component bases
// that every library component derives from, the millisecond clock and the
// 55-millisecond tick timers, and a few small helpers.
#pragma once

#include <cstdint>
#include <string>

// The version text every library component reports; stored values are ignored.
inline constexpr const char* ApdLibraryVersion = "v4.06";

// Common behaviour of the library's components: a read-only Version and the
// "being loaded" state during which error codes are not raised.
class TApdComponentVersion {
 public:
  virtual ~TApdComponentVersion() = default;
  std::string GetVersion() const { return ApdLibraryVersion; }
  void SetVersion(const std::string&) {}  // the version always reads the same
  bool IsLoading() const { return Loading; }
  void SetLoading(bool Value) { Loading = Value; }

 private:
  bool Loading = false;
};

// Non-visual components (emulators, the COM port component).
class TApdBaseComponent : public TApdComponentVersion {};
// Windowed controls (the terminal control); the widget library mixes this into its widget.
class TApdBaseWinControl : public TApdComponentVersion {};
// Non-windowed graphic controls (the status light).
class TApdBaseGraphicControl : public TApdComponentVersion {};

// Ticks per millisecond of a high-resolution counter of the given frequency,
// rounded half down; 0 (use the system millisecond timer) when the frequency is 0
// or does not fit 32 bits.
uint32_t TicksPerMillisecondFromFrequency(uint64_t Frequency);

// Milliseconds of a monotonic clock. 64 bits wide, so it never wraps while the
// program runs (a 32-bit millisecond count wraps after 49.7 days).
uint64_t ReadMillisecondClock();

// A timer in 55-millisecond ticks.
struct TickTimer {
  int64_t StartTicks = 0;
  int64_t ExpireTicks = 0;
};

// The largest tick count a timer accepts; longer requests are cut to it.
inline constexpr int32_t MaxTimerTicks = 39045157;

void StartTickTimer(TickTimer& T, int32_t Ticks);
bool TickTimerExpired(const TickTimer& T);
// The same two with the clock reading given, for callers that read it once.
void StartTickTimerAt(TickTimer& T, int32_t Ticks, uint64_t NowMilliseconds);
bool TickTimerExpiredAt(const TickTimer& T, uint64_t NowMilliseconds);

inline bool MaskHasBits(uint32_t Flags, uint32_t Mask) { return (Flags & Mask) != 0; }

// True when a file of that name exists.
bool ExistFile(const std::string& FileName);
