// The key/value store as the settings file and the key map use it: its text form
// read and written line by line, typed values and their conversion errors, and
// files that are written whole or not at all.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QBuffer>
#include <QFile>
#include <QLocale>
#include <clocale>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>

#include "ConfigObject.h"
#include "TempFolder.h"
#include "Unprivileged.h"

static void PrintTo(const QString& Text, std::ostream* Out) { *Out << '"' << Text.toStdString() << '"'; }

namespace {

using korvel_test::TTempFolder;

std::string ReadAll(const std::filesystem::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::filesystem::path& Path, const std::string& Bytes) {
  std::ofstream(Path, std::ios::binary) << Bytes;
}

// Runs Body in a child process (for limits that must not touch the test itself).
void RunInChild(const std::function<void()>& Body) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Body();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a check in the child failed (see above)";
}

TEST(ConfigObject, TextFormIsReadLineByLineAndWrittenBackInFirstOrder) {
  TNrKeyValueSections store;
  store.LoadFromStrings({
      "stray=before any section",
      "   [ Main ]   ",
      "  Alpha =  one = two  ",
      "Empty=",
      "=starts with equals",
      "bare key",
      "[broken header",
      "",
      "\t[]",
      "after=an empty header keeps the section",
      "[MAIN]",
      "ALPHA=last",
      "[Ümlaut]",
      "Schlüssel=ä",
  });
  ASSERT_EQ(store.SectionCount(), 2);
  EXPECT_EQ(store.Sections(0)->GetName(), "Main") << "the first spelling stays";
  EXPECT_EQ(store.Sections(2), nullptr);
  EXPECT_EQ(store.ReadString("main", "alpha", "x"), "last") << "the last value, at the first position";
  EXPECT_EQ(store.ReadString("Main", "Empty", "default"), "") << "an empty stored value is a value";
  EXPECT_EQ(store.ReadString("Main", "Missing", "default"), "default");
  EXPECT_EQ(store.ReadString("Main", "=starts with equals", "x"), "");
  EXPECT_EQ(store.ReadString("Main", "bare key", "x"), "");
  EXPECT_TRUE(store.KeyExists("MAIN", "[broken header")) << "not a header: a key";
  EXPECT_EQ(store.ReadString("ümlaut", "SCHLÜSSEL", "x"), "ä") << "case is ignored beyond ASCII too";
  EXPECT_FALSE(store.KeyExists("Main", "stray"));
  EXPECT_FALSE(store.KeyExists("", "Alpha"));
  EXPECT_FALSE(store.KeyExists("Main", ""));

  // Writes: a key of another case changes the pair in place; empty names do nothing.
  store.WriteString("MAIN", "alpha", "changed");
  store.WriteString("", "Key", "ignored");
  store.WriteString("Main", "", "ignored");
  store.WriteString("New", "Key", "v");
  store.FindSection("New")->Clear();  // a section left without pairs
  QStringList lines;
  store.SaveToStrings(lines);
  const QStringList expected{"[Main]",
                             "Alpha=changed",
                             "Empty=",
                             "=starts with equals=",
                             "bare key=",
                             "[broken header=",
                             "after=an empty header keeps the section",
                             "",
                             "[Ümlaut]",
                             "Schlüssel=ä",
                             "",
                             "[New]"};
  EXPECT_EQ(lines, expected);

  // The text form through a stream: CR LF line ends, UTF-8, read back the same.
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(store.SaveToStream(buffer));
  EXPECT_EQ(buffer.data(), expected.join("\r\n").toUtf8() + "\r\n");
  buffer.close();
  buffer.open(QIODevice::ReadOnly);
  TNrKeyValueSections again;
  ASSERT_TRUE(again.LoadFromStream(buffer));
  QStringList againLines;
  again.SaveToStrings(againLines);
  // A section without pairs is not kept by a load, and a key that starts with "="
  // takes the whole line as its key once more.
  QStringList reloaded = expected.mid(0, expected.size() - 1);
  reloaded[3] = "=starts with equals==";
  EXPECT_EQ(againLines, reloaded);
  EXPECT_EQ(again.ReadString("Main", "Alpha", "x"), "changed");
}

TEST(ConfigObject, TypedValuesUseAPointAndBadOnesNameTheirKey) {
  // A user whose locale writes a decimal comma.
  const QLocale previous;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");

  TNrKeyValueSections store;
  store.WriteInteger("PORTS", "ColdBootDeviceMapping", -149);
  store.WriteFloat("PORT_DEVICE_PRINTER", "LineSpacing", 1.1);
  store.WriteFloat("PORT_DEVICE_PRINTER", "TopBottomMargin", 0.25);
  store.WriteFloat("PORT_DEVICE_PRINTER", "Huge", 1.5e300);
  store.WriteBool("PORT_DEVICE_PRINTER", "AutoLineWrap", true);
  store.WriteBool("PORT_DEVICE_PRINTER", "IgnoreFormFeeds", false);
  EXPECT_EQ(store.ReadString("PORT_DEVICE_PRINTER", "LineSpacing", ""), "1.1");
  EXPECT_EQ(store.ReadString("PORT_DEVICE_PRINTER", "TopBottomMargin", ""), "0.25");
  EXPECT_EQ(store.ReadString("PORTS", "ColdBootDeviceMapping", ""), "-149");
  EXPECT_EQ(store.ReadString("PORT_DEVICE_PRINTER", "AutoLineWrap", ""), "1");
  EXPECT_EQ(store.ReadInteger("PORTS", "ColdBootDeviceMapping", 0), -149);
  EXPECT_DOUBLE_EQ(store.ReadFloat("PORT_DEVICE_PRINTER", "LineSpacing", 0), 1.1);
  EXPECT_DOUBLE_EQ(store.ReadFloat("PORT_DEVICE_PRINTER", "Huge", 0), 1.5e300);
  EXPECT_TRUE(store.ReadBool("PORT_DEVICE_PRINTER", "AutoLineWrap", false));
  EXPECT_FALSE(store.ReadBool("PORT_DEVICE_PRINTER", "IgnoreFormFeeds", true));
  EXPECT_EQ(store.ReadInteger("PORTS", "Absent", 42), 42);
  EXPECT_DOUBLE_EQ(store.ReadFloat("PORTS", "Absent", 0.75), 0.75);
  EXPECT_TRUE(store.ReadBool("Absent", "Absent", true));

  // A settings file of an older version, written under that locale, and by hand.
  store.LoadFromStrings({"[PORT_DEVICE_PRINTER]", "LineSpacing=1,1", "LeftRightMargin=0.5", "Scaled=2.5E-3",
                         "AutoLineWrap=2", "EosEjectsPrinter=-1", "IgnoreFormFeeds=0", "TabSpacing= +8",
                         "[BAD]", "Rows=12abc", "Margin=1.2.3", "Comma=1,000.5", "Flag=yes", "Empty=",
                         "Big=2147483648", "Rows2=0x10", "Good=7"});
  EXPECT_DOUBLE_EQ(store.ReadFloat("PORT_DEVICE_PRINTER", "LineSpacing", 0), 1.1);
  EXPECT_DOUBLE_EQ(store.ReadFloat("PORT_DEVICE_PRINTER", "LeftRightMargin", 0), 0.5);
  EXPECT_DOUBLE_EQ(store.ReadFloat("PORT_DEVICE_PRINTER", "Scaled", 0), 0.0025);
  EXPECT_FALSE(store.ReadBool("PORT_DEVICE_PRINTER", "AutoLineWrap", true)) << "only 1 is true";
  EXPECT_FALSE(store.ReadBool("PORT_DEVICE_PRINTER", "EosEjectsPrinter", true));
  EXPECT_FALSE(store.ReadBool("PORT_DEVICE_PRINTER", "IgnoreFormFeeds", true));
  EXPECT_EQ(store.ReadInteger("PORT_DEVICE_PRINTER", "TabSpacing", 0), 8);

  // A reader that reports each bad key and goes on with the rest.
  QStringList reported;
  int good = 0;
  const auto tryRead = [&](const std::function<void()>& Read) {
    try {
      Read();
    } catch (const EConfigConvertError& Error) {
      reported << Error.GetSection() + "/" + Error.GetKey() + "=" + Error.GetValue();
      EXPECT_NE(std::string(Error.what()).find(Error.GetKey().toStdString()), std::string::npos) << Error.what();
    }
  };
  tryRead([&] { store.ReadInteger("BAD", "Rows", 50); });
  tryRead([&] { store.ReadFloat("BAD", "Margin", 0.25); });
  tryRead([&] { store.ReadFloat("BAD", "Comma", 0.25); });
  tryRead([&] { store.ReadBool("BAD", "Flag", false); });
  tryRead([&] { store.ReadInteger("BAD", "Empty", 1); });
  tryRead([&] { store.ReadInteger("BAD", "Big", 1); });
  tryRead([&] { store.ReadInteger("BAD", "Rows2", 1); });
  tryRead([&] { good = store.ReadInteger("BAD", "Good", 0); });
  EXPECT_EQ(reported, QStringList({"BAD/Rows=12abc", "BAD/Margin=1.2.3", "BAD/Comma=1,000.5", "BAD/Flag=yes",
                                   "BAD/Empty=", "BAD/Big=2147483648", "BAD/Rows2=0x10"}));
  EXPECT_EQ(good, 7);
  EXPECT_EQ(store.ReadString("BAD", "Rows", ""), "12abc") << "a failed read changes nothing";

  std::setlocale(LC_NUMERIC, "C");
  QLocale::setDefault(previous);
}

TEST(ConfigObject, FilesAreReplacedWholeOrNotAtAll) {
  TTempFolder folder;
  const QString fileName = QString::fromStdString(folder.File("korvel.config"));
  TNrKeyValueSections store;
  EXPECT_FALSE(store.LoadFromFile(fileName)) << "no file yet";

  store.WriteString("MAIN", "DSP_TOP", "-1");
  store.WriteInteger("MAIN", "DSP_WIDTH", 842);
  store.WriteString("TTY", "FontFace", "Lucida Console");
  ASSERT_TRUE(store.SaveToFile(fileName));
  const std::string saved = "[MAIN]\r\nDSP_TOP=-1\r\nDSP_WIDTH=842\r\n\r\n[TTY]\r\nFontFace=Lucida Console\r\n\r\n";
  EXPECT_EQ(ReadAll(folder / "korvel.config"), saved);
  TNrKeyValueSections loaded;
  ASSERT_TRUE(loaded.LoadFromFile(fileName));
  EXPECT_EQ(loaded.ReadInteger("main", "dsp_width", 0), 842);

  // An older file: LF or CR line ends, the host's 8-bit characters.
  WriteAll(folder / "old.config", "[TTY]\rFontFace=Courier\xA0New \xE9\n\n[DISKS]\nCpmSourceFile=cpm22.hex");
  ASSERT_TRUE(loaded.LoadFromFile(QString::fromStdString(folder.File("old.config"))));
  EXPECT_EQ(loaded.ReadString("TTY", "FontFace", ""), QString::fromUtf8("Courier\u00A0New \u00E9"));
  EXPECT_EQ(loaded.ReadString("DISKS", "CpmSourceFile", ""), "cpm22.hex");

  // A disk that fills up in the middle of the write: the old file stays whole.
  TNrKeyValueSections large;
  for (int i = 0; i < 2000; ++i) large.WriteString("BIG", QString("Key%1").arg(i), QString(40, u'x'));
  RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_THROW(large.SaveToFile(fileName), EConfigFileError);
  });
  EXPECT_EQ(ReadAll(folder / "korvel.config"), saved);

  // A folder the user may not write: a clear error, the old file untouched.
  WriteAll(folder / "secret.config", "[A]\nB=C\n");
  namespace fs = std::filesystem;
  fs::permissions(folder / "secret.config", fs::perms::none);
  fs::permissions(folder.Path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  korvel_test::RunUnprivileged([&] {
    try {
      large.SaveToFile(fileName);
      ADD_FAILURE() << "the write should have failed";
    } catch (const EConfigFileError& Error) {
      EXPECT_EQ(Error.GetFileName(), fileName);
      EXPECT_NE(std::string(Error.what()).find("korvel.config"), std::string::npos) << Error.what();
    }
    // A file the user may not read is an error too, not an empty store.
    TNrKeyValueSections unread;
    EXPECT_THROW(unread.LoadFromFile(QString::fromStdString(folder.File("secret.config"))), EConfigFileError);
  });
  fs::permissions(folder.Path(), fs::perms::owner_all);
  EXPECT_EQ(ReadAll(folder / "korvel.config"), saved);
}

}  // namespace
