// ZEXDOC, the documented-flags Z80 instruction exerciser, run as a CP/M program
// from drive A of the booted machine: every one of its 67 groups must print OK.
// Billions of instructions through run-loop passes and the BDOS, BIOS and CRT.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CpmBootRig.h"
#include "Fixtures.h"

namespace {

TEST(CpmZexdocTest, AllGroupsPassUnderCpm) {
  KORVEL_REQUIRE_FIXTURE("cpm22/cpm22.hex");
  KORVEL_REQUIRE_FIXTURE("z80tests/zexdoc.com");
  korvel_boot::TCpmBootRig rig(korvel_test::Fixture("cpm22/cpm22.hex").string(), KORVEL_BIOS_HEX);
  const std::vector<unsigned char> zexdoc = korvel_test::ReadFile(korvel_test::Fixture("z80tests/zexdoc.com"));
  korvel_boot::TCpmBootRig::ImportFile(rig.Machine->DriveFileName[0], "ZEXDOC.COM",
                                       std::vector<uint8_t>(zexdoc.begin(), zexdoc.end()));
  ASSERT_TRUE(rig.BootToPrompt()) << rig.CrtOutput;
  rig.Type("ZEXDOC\r");
  ASSERT_TRUE(rig.RunUntilOutput("Tests complete", 20'000'000'000ull)) << rig.CrtOutput;
  EXPECT_TRUE(rig.RunUntilOutput(korvel_boot::TCpmBootRig::Prompt('A'), 10'000'000)) << "no prompt after ZEXDOC:\n" << rig.CrtOutput;

  // A group's line: its name, a run of dots, then "OK" or "ERROR ...".
  int passed = 0;
  std::string failed;
  std::istringstream lines(rig.CrtOutput);
  for (std::string line; std::getline(lines, line);) {
    const size_t dots = line.find("..");
    if (dots == std::string::npos) continue;
    const size_t verdict = line.find_first_not_of(". ", dots);
    if (verdict == std::string::npos) continue;
    if (line.compare(verdict, 2, "OK") == 0)
      ++passed;
    else if (line.compare(verdict, 5, "ERROR") == 0)
      failed += line + "\n";
  }
  EXPECT_EQ(failed, "");
  EXPECT_EQ(passed, 67) << rig.CrtOutput;
}

}  // namespace
