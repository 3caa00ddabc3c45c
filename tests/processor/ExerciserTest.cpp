// The public Z80 exercisers run on the processor: prelim, ZEXDOC (documented
// flags) and ZEXALL (all flags). Each runs billions of instructions.
#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "CpmProgramRunner.h"
#include "CpuEmu.h"
#include "Fixtures.h"

namespace {

using korvel_test::TCpmProgramRunner;

constexpr uint64_t kExerciserLimit = 20'000'000'000ull;  // far above a full run (about 5.8 billion)

// Runs of ExecuteInstructions (as the machine's run loop makes them) or single
// ExecuteInstruction calls (as single stepping does): both must give the same results.
using TMode = TCpmProgramRunner::TMode;

std::string RunProgram(const std::string& fixture, uint64_t limit, TMode mode) {
  auto cpu = std::make_unique<TCpuEmu>();
  TCpmProgramRunner runner(*cpu, mode);
  runner.Load(korvel_test::ReadFile(korvel_test::Fixture(fixture)));
  EXPECT_TRUE(runner.Run(limit)) << fixture << " did not finish; output so far:\n" << runner.Output;
  return runner.Output;
}

// The names of the groups that an exerciser reported, split into passed and failed.
struct TGroupResults {
  std::vector<std::string> Passed;
  std::set<std::string> Failed;
};

TGroupResults ParseGroups(const std::string& output) {
  TGroupResults results;
  std::string text = output;
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  std::istringstream lines(text);
  std::string line;
  // A group's line: its name, a run of dots, then "OK" or "ERROR ...".
  static const std::regex groupLine(R"(^(.*?)\.{2,}\s+(OK|ERROR))");
  while (std::getline(lines, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, groupLine)) continue;
    if (m[2] == "OK")
      results.Passed.push_back(m[1]);
    else
      results.Failed.insert(m[1]);
  }
  return results;
}

TEST(Exerciser, PreliminaryTestsComplete) {
  KORVEL_REQUIRE_FIXTURE("z80tests/prelim.com");
  for (TMode mode : {TMode::SingleSteps, TMode::Runs}) {
    const std::string output = RunProgram("z80tests/prelim.com", 100'000'000, mode);
    EXPECT_NE(output.find("Preliminary tests complete"), std::string::npos) << output;
  }
}

TEST(Exerciser, ZexdocEveryGroupOk) {
  KORVEL_REQUIRE_FIXTURE("z80tests/prelim.com");
  KORVEL_REQUIRE_FIXTURE("z80tests/zexdoc.com");
  ASSERT_NE(RunProgram("z80tests/prelim.com", 100'000'000, TMode::Runs).find("Preliminary tests complete"),
            std::string::npos);
  const std::string output = RunProgram("z80tests/zexdoc.com", kExerciserLimit, TMode::Runs);
  const TGroupResults groups = ParseGroups(output);
  EXPECT_EQ(groups.Passed.size(), 67u) << output;
  EXPECT_TRUE(groups.Failed.empty()) << output;
  EXPECT_NE(output.find("Tests complete"), std::string::npos) << output;
}

// Flag bits 3 and 5 follow this processor's own rules rather than a real Z80's,
// so ZEXALL reports a known set of groups as failing. The set must not change:
// any other group failing is a regression. This one runs single steps, so the
// one-instruction path meets every instruction group too.
TEST(Exerciser, ZexallFailsOnlyTheKnownUndocumentedFlagGroups) {
  KORVEL_REQUIRE_FIXTURE("z80tests/zexall.com");
  const std::set<std::string> expectedFailures = {
      "<adc,sbc> hl,<bc,de,hl,sp>",
      "add hl,<bc,de,hl,sp>",
      "add ix,<bc,de,ix,sp>",
      "add iy,<bc,de,iy,sp>",
      "aluop a,nn",
      "aluop a,<b,c,d,e,h,l,(hl),a>",
      "aluop a,<ixh,ixl,iyh,iyl>",
      "aluop a,(<ix,iy>+1)",
      "bit n,(<ix,iy>+1)",
      "bit n,<b,c,d,e,h,l,(hl),a>",
      "cpd<r>",
      "cpi<r>",
      "<daa,cpl,scf,ccf>",
      "<inc,dec> a",
      "<inc,dec> b",
      "<inc,dec> c",
      "<inc,dec> d",
      "<inc,dec> e",
      "<inc,dec> h",
      "<inc,dec> l",
      "<inc,dec> (hl)",
      "<inc,dec> (<ix,iy>+1)",
      "ldd<r> (2)",
      "ldi<r> (1)",
      "ldi<r> (2)",
      "neg",
  };
  const std::string output = RunProgram("z80tests/zexall.com", kExerciserLimit, TMode::SingleSteps);
  const TGroupResults groups = ParseGroups(output);
  EXPECT_EQ(groups.Failed, expectedFailures) << output;
  EXPECT_EQ(groups.Passed.size() + groups.Failed.size(), 67u) << output;
}

}  // namespace
