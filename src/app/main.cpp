// Program entry. The main window is not built yet; until it is, the program
// says so and exits.
#include <cstdio>

int main() {
  std::puts("Korvel Ver 2.0 (Cpm Z80 Emulation): the main window is not built yet; run ./dev test for the emulator's tests.");
  return 0;
}
