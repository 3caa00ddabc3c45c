#include <gtest/gtest.h>

#include <set>

#include "AdExcept.h"
#include "OoMisc.h"

TEST(ErrorCodes, TableIsSortedByMagnitudeWithoutDuplicates) {
  std::set<int64_t> Seen;
  for (std::size_t I = 0; I < ErrorTextTableSize; ++I) {
    const int64_t Magnitude = std::abs(static_cast<int64_t>(ErrorTextTable[I].Code));
    EXPECT_TRUE(Seen.insert(Magnitude).second) << ErrorTextTable[I].Code;
    if (I > 0) {
      EXPECT_LT(std::abs(static_cast<int64_t>(ErrorTextTable[I - 1].Code)), Magnitude);
    }
  }
  int Empty = 0;
  for (const auto& Entry : ErrorTextTable) Empty += Entry.Text[0] == '\0' ? 1 : 0;
  EXPECT_EQ(Empty, 11);
}

TEST(ErrorCodes, FindErrorTextMatchesByMagnitude) {
  EXPECT_EQ(FindErrorText(-2001), "ie_BadId - Specified comport doesn't exist");
  EXPECT_EQ(FindErrorText(2001), "ie_BadId - Specified comport doesn't exist");
  EXPECT_EQ(FindErrorText(0), "OK");
  EXPECT_EQ(FindErrorText(-101), "Disk is full");
  EXPECT_EQ(FindErrorText(15742).empty(), false);
  EXPECT_EQ(FindErrorText(-1), "");
  EXPECT_EQ(FindErrorText(99999), "");
  // Every table entry is found by the search.
  for (const auto& Entry : ErrorTextTable) EXPECT_EQ(FindErrorText(Entry.Code), Entry.Text) << Entry.Code;
}

TEST(ErrorCodes, ErrorCodeTextFallsBackToTheHostMessage) {
  EXPECT_EQ(ErrorCodeText(4200), "");  // empty entry, and the host has no message 4200
  EXPECT_FALSE(ErrorCodeText(13).empty());  // absent from the table: the host's text for 13
  EXPECT_EQ(ErrorCodeText(-1001), "Bad handle passed to com function");
}

TEST(ErrorCodes, CleanErrorTextBlanksControlsAndShrinksRuns) {
  EXPECT_EQ(CleanErrorText("Bad\r\nthing  here\t."), "Bad thing here .");
}

TEST(ErrorCodes, RaiseErrorForCodeReturnsNonNegativeCodes) {
  EXPECT_EQ(RaiseErrorForCode(nullptr, 0), 0);
  EXPECT_EQ(RaiseErrorForCode(nullptr, 4501), 4501);
  TApdBaseComponent Loading;
  Loading.SetLoading(true);
  EXPECT_EQ(RaiseErrorForCode(&Loading, -2011), -2011);
}

TEST(ErrorCodes, RaiseErrorForCodeRaisesTheClassOfTheCode) {
  try {
    RaiseErrorForCode(nullptr, -2011);
    FAIL() << "nothing raised";
  } catch (const ENoPortSelected& Error) {
    EXPECT_EQ(Error.ErrorCode, -2011);
    EXPECT_STREQ(Error.what(), "No port selected (attempt to open com0)");
  }
  EXPECT_THROW(RaiseErrorForCode(nullptr, -2011), EOpenComm);
  EXPECT_THROW(RaiseErrorForCode(nullptr, -2011), EAPDException);
  EXPECT_THROW(RaiseErrorForCode(nullptr, -2011), EEmulatorError);
}

namespace {

template <typename TExpected>
void ExpectRaises(int32_t Code) {
  try {
    RaiseErrorForCode(nullptr, Code);
    ADD_FAILURE() << Code << " raised nothing";
  } catch (const TExpected& Error) {
    EXPECT_EQ(Error.ErrorCode, Code);
    EXPECT_EQ(std::string(Error.what()), ErrorCodeText(Code)) << Code;
  } catch (const std::exception& Error) {
    ADD_FAILURE() << Code << " raised the wrong class: " << Error.what();
  }
}

}  // namespace

TEST(ErrorCodes, EveryMappedCodeRaisesItsOwnClass) {
#define KORVEL_EXPECT_CLASS(Name, Base, Code) ExpectRaises<Name>(Code);
  KORVEL_APD_ERROR_CLASSES(KORVEL_EXPECT_CLASS)
#undef KORVEL_EXPECT_CLASS
  ExpectRaises<EInternal>(-7003);
  ExpectRaises<EInternal>(-7012);
  ExpectRaises<EProtocol>(-6006);
  ExpectRaises<ETapi>(-13801);
  ExpectRaises<ETapiIncompatibleApiVersion>(-13812);
  ExpectRaises<ETapiTranslateFail>(-13942);
  ExpectRaises<ERas>(-13980);
  ExpectRaises<EFax>(-8053);
}

TEST(ErrorCodes, RunTimeLibraryCodesRaiseInputOutputErrors) {
  try {
    RaiseErrorForCode(nullptr, -2);
    FAIL();
  } catch (const EInOutError& Error) {
    EXPECT_EQ(Error.ErrorCode, 2);
    EXPECT_STREQ(Error.what(), "File not found");
  }
  EXPECT_THROW(RaiseErrorForCode(nullptr, -8), EOutOfMemory);
}

TEST(ErrorCodes, UnmappedNegativeCodesRaiseTheGenericException) {
  for (int32_t Code : {-1001, -3002, -4009, -6001, -8500, -13950, -424242}) {
    try {
      RaiseErrorForCode(nullptr, Code);
      ADD_FAILURE() << Code;
    } catch (const EAPDException& Error) {
      EXPECT_EQ(typeid(Error), typeid(EAPDException)) << Code;
      EXPECT_EQ(Error.ErrorCode, 0);
      EXPECT_STREQ(Error.what(), UnmappedErrorMessage);
    }
  }
}
