// The remote disk server spoken to by a loopback client: every reply checked
// byte for byte, blocks landing in the image, the session rules (sharing,
// clients, limits, expiry, disks of the machine) and hostile requests.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DiskDrive.h"
#include "DiskTestSupport.h"
#include "Fixtures.h"
#include "RmtDskMod.h"
#include "RmtDskTestClient.h"
#include "Unprivileged.h"

namespace {

using namespace rmt_test;
using disk_test::TTempDir;

constexpr size_t kImageSize = 1048576;

class RmtDskServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.DiskFolder = folder_.Path();
    server_.BaseUdpRx1.LocalPort = "0";
    server_.BaseUdpRx1.AdapterAddress = "127.0.0.1";
    server_.SetActive(true);
    ASSERT_TRUE(server_.GetActive());
    client_ = std::make_unique<TTestClient>(mainThread_, server_.BoundPort());
  }
  // An image whose every byte outside the directory tells its position, so
  // that a block read from the wrong place shows.
  std::filesystem::path MakeImage(const std::string& name) {
    const std::filesystem::path path = folder_ / (name + ".cpmdsk");
    disk_test::WriteBytes(path, disk_test::DiskPattern(static_cast<unsigned>(name.size())));
    return path;
  }
  static TBytes Slice(const TBytes& bytes, size_t offset, size_t size) {
    return TBytes(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + size));
  }
  // A client on its own port; LocalAddress another loopback address makes it
  // another host to the server.
  std::unique_ptr<TTestClient> NewClient(const std::string& localAddress = "127.0.0.1") {
    return std::make_unique<TTestClient>(mainThread_, server_.BoundPort(), localAddress);
  }

  TTempDir folder_;
  TQueuedMainThread mainThread_;
  TRmtDskMod server_{&mainThread_};
  std::unique_ptr<TTestClient> client_;
};

TEST_F(RmtDskServerTest, MountAnswersTheGeometryAndReusesTheSessionOfTheSameRequest) {
  MakeImage("DEMO");
  std::optional<TBytes> reply = client_->Request(MountRequest(0x1234, "DEMO", 7));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 14u);
  const uint32_t id = Get32(*reply, 4);
  TBytes expected = {0, 0, 0x34, 0x12, 0, 0, 0, 0, 0x00, 0x08, 0x00, 0x01, 32, 0};
  Put32(expected, 4, id);
  EXPECT_EQ(*reply, expected);
  EXPECT_EQ(server_.GetSessionCount(), 1u);
  EXPECT_TRUE(server_.IsDiskFileInUse(folder_ / "DEMO.cpmdsk"));

  // The same request: the same session.
  EXPECT_EQ(client_->Mount("DEMO", 7), id);
  EXPECT_EQ(server_.GetSessionCount(), 1u);
  // Read-only now: with auto-unmount the first session goes and a new one comes.
  const uint32_t readOnlyId = client_->Mount("DEMO", 7, true);
  EXPECT_NE(readOnlyId, id);
  ASSERT_EQ(server_.GetSessionCount(), 1u);
  EXPECT_EQ(server_.GetSession(0)->SessionId, readOnlyId);
  EXPECT_TRUE(server_.GetSession(0)->ReadOnly);
  EXPECT_EQ(server_.GetSession(1), nullptr);
}

TEST_F(RmtDskServerTest, DefaultsAsStored) {
  TRmtDskMod server(&mainThread_);
  EXPECT_FALSE(server.GetActive());
  EXPECT_EQ(server.BaseUdpRx1.LocalPort, "999");
  EXPECT_TRUE(server.BaseUdpRx1.SynchronizeCallbacks);
  EXPECT_EQ(server.BaseUdpRx1.GetTTL(), 128);
  EXPECT_FALSE(server.BaseUdpRx1.ReuseAddress);
  EXPECT_FALSE(server.BaseUdpRx1.TxBroadcast);
  EXPECT_TRUE(server.SessionList.AutoUnmount);
  EXPECT_EQ(server.GetSessionCount(), 0u);
}

TEST_F(RmtDskServerTest, OtherFailuresGiveCode255WithTheirMessageCutTo63) {
  MakeImage("DEMO");
  const std::string message(100, 'm');
  server_.SessionList.IsFileMountedByMachine = [&](const TFileIdentity&) -> bool { throw std::runtime_error(message); };
  EXPECT_EQ(client_->Request(MountRequest(0xFFFF, "DEMO", 1)), ErrorReply(255, 0xFFFF, message.substr(0, 63)));
  EXPECT_EQ(server_.GetSessionCount(), 0u);
}

TEST_F(RmtDskServerTest, AnotherDiskWithoutAutoUnmountIsRefused) {
  MakeImage("DEMO");
  MakeImage("OTHER");
  server_.SetAutoUnmount(false);
  client_->Mount("DEMO", 1);
  EXPECT_EQ(client_->Request(MountRequest(5, "OTHER", 1)), ErrorReply(64, 5, "Disk is mounted!"));
  EXPECT_EQ(server_.GetSessionCount(), 1u);
}

TEST_F(RmtDskServerTest, ReadOnlySessionsShareAndAWriterIsRefused) {
  MakeImage("DEMO");
  client_->Mount("DEMO", 1, true);
  auto second = NewClient();
  second->Mount("DEMO", 2, true);
  auto third = NewClient();
  EXPECT_EQ(third->Request(MountRequest(9, "DEMO", 3)), ErrorReply(16, 9, "Disk is in use!"));
  EXPECT_EQ(server_.GetSessionCount(), 2u);
}

TEST_F(RmtDskServerTest, AWriterExcludesEveryOtherSessionWhateverThePathSpelling) {
  MakeImage("DEMO");
  // Another name of the same file.
  std::filesystem::create_symlink(folder_ / "DEMO.cpmdsk", folder_ / "ALIAS.cpmdsk");
  client_->Mount("DEMO", 1);
  auto other = NewClient();
  EXPECT_EQ(other->Request(MountRequest(2, "ALIAS", 1, true)), ErrorReply(16, 2, "Disk is in use!"));
  EXPECT_EQ(other->Request(MountRequest(3, "ALIAS", 1)), ErrorReply(16, 3, "Disk is in use!"));
}

TEST_F(RmtDskServerTest, ADiskInTheMachinesDriveIsNotOpened) {
  const std::filesystem::path image = MakeImage("DEMO");
  MakeImage("FREE");
  // The machine holds the image under another spelling of its path.
  const std::filesystem::path machinePath = folder_.Path() / "." / "DEMO.cpmdsk";
  int queries = 0;
  server_.SessionList.IsFileMountedByMachine = [&](const TFileIdentity& file) {
    ++queries;
    return file == TFileIdentity::OfRegularFile(machinePath);
  };
  EXPECT_EQ(client_->Request(MountRequest(1, "DEMO", 1, true)), ErrorReply(16, 1, "Disk is in use!"));
  EXPECT_EQ(client_->Request(MountRequest(2, "DEMO", 1)), ErrorReply(16, 2, "Disk is in use!"));
  EXPECT_EQ(server_.GetSessionCount(), 0u);
  client_->Mount("FREE", 1);
  EXPECT_EQ(queries, 3);
}

TEST_F(RmtDskServerTest, BlocksAreHalfTracksAndWritesLandInTheImage) {
  const std::filesystem::path image = MakeImage("DEMO");
  const TBytes original = disk_test::ReadBytes(image);
  const uint32_t id = client_->Mount("DEMO", 7);

  // Track 10, sector 21: sectors 16-31 of track 10.
  std::optional<TBytes> reply = client_->Request(ReadRequest(0xBEEF, id, 7, 10, 21));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 2052u);
  EXPECT_EQ(Slice(*reply, 0, 4), (TBytes{0, 0, 0xEF, 0xBE}));
  EXPECT_EQ(Slice(*reply, 4, 2048), Slice(original, (10 * 32 + 16) * 128, 2048));
  // The last block of the disk, the reserved tracks included.
  reply = client_->Request(ReadRequest(1, id, 7, 255, 16));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Slice(*reply, 4, 2048), Slice(original, kImageSize - 2048, 2048));

  const TBytes block = disk_test::Pattern(2048, 99);
  EXPECT_EQ(client_->Request(WriteRequest(0x0102, id, 7, 3, 5, block)), DoneReply(0x0102));
  EXPECT_EQ(client_->Request(WriteRequest(0x0103, id, 7, 0, 0, block)), DoneReply(0x0103));
  const TBytes written = disk_test::ReadBytes(image);
  ASSERT_EQ(written.size(), kImageSize);
  EXPECT_EQ(Slice(written, 3 * 32 * 128, 2048), block);
  EXPECT_EQ(Slice(written, 0, 2048), block);
  // Nothing else changed.
  TBytes expected = original;
  std::copy(block.begin(), block.end(), expected.begin() + 3 * 32 * 128);
  std::copy(block.begin(), block.end(), expected.begin());
  EXPECT_TRUE(written == expected);
  // And the session reads back what it wrote.
  reply = client_->Request(ReadRequest(4, id, 7, 3, 15));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Slice(*reply, 4, 2048), block);
}

TEST_F(RmtDskServerTest, BadAddressesGiveTheDrivesErrors) {
  MakeImage("DEMO");
  const uint32_t id = client_->Mount("DEMO", 7);
  EXPECT_EQ(client_->Request(ReadRequest(1, id, 7, 0, 32)), ErrorReply(2, 1, "Invalid track sector (32)!"));
  EXPECT_EQ(client_->Request(ReadRequest(2, id, 7, 300, 32)), ErrorReply(2, 2, "Invalid track sector (32)!"));
  EXPECT_EQ(client_->Request(ReadRequest(3, id, 7, 256, 0)), ErrorReply(2, 3, "Invalid disk track (256)!"));
  EXPECT_EQ(client_->Request(WriteRequest(4, id, 7, 256, 0, TBytes(2048))),
            ErrorReply(2, 4, "Invalid disk track (256)!"));
}

TEST_F(RmtDskServerTest, SessionsBelongToTheirClient) {
  MakeImage("DEMO");
  const uint32_t id = client_->Mount("DEMO", 7);
  // Same address, another source port: another client.
  auto other = NewClient();
  EXPECT_EQ(other->Request(ReadRequest(1, id, 7, 0, 0)), ErrorReply(16, 1, "Client info does not match!"));
  EXPECT_EQ(other->Request(NopRequest(2, id, 7)), ErrorReply(16, 2, "Client info does not match!"));
  EXPECT_EQ(other->Request(UnmountRequest(3, id, 7)), ErrorReply(16, 3, "Client info does not match!"));
  // Same port, another client id.
  EXPECT_EQ(client_->Request(ReadRequest(4, id, 8, 0, 0)), ErrorReply(16, 4, "Client info does not match!"));
  EXPECT_EQ(client_->Request(ReadRequest(5, id + 1000, 7, 0, 0)), ErrorReply(1, 5, "Session is not valid!"));
  EXPECT_EQ(server_.GetSessionCount(), 1u);
}

TEST_F(RmtDskServerTest, NopChecksAndKeepsTheSessionWhileUnmountEndsIt) {
  MakeImage("DEMO");
  const uint32_t id = client_->Mount("DEMO", 7);
  const auto changed = server_.LastChange;
  EXPECT_EQ(client_->Request(NopRequest(0x55AA, id, 7)), DoneReply(0x55AA));
  EXPECT_EQ(client_->Request(NopRequest(0x55AB, id, 7)), DoneReply(0x55AB));
  EXPECT_EQ(server_.GetSessionCount(), 1u);
  EXPECT_EQ(server_.LastChange, changed);
  std::optional<TBytes> reply = client_->Request(ReadRequest(1, id, 7, 0, 0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 2052u);
  EXPECT_EQ(client_->Request(NopRequest(2, id + 1, 7)), ErrorReply(1, 2, "Session is not valid!"));

  EXPECT_EQ(client_->Request(UnmountRequest(3, id, 7)), DoneReply(3));
  EXPECT_EQ(server_.GetSessionCount(), 0u);
  EXPECT_FALSE(server_.IsDiskFileInUse(folder_ / "DEMO.cpmdsk"));
  EXPECT_EQ(client_->Request(ReadRequest(4, id, 7, 0, 0)), ErrorReply(1, 4, "Session is not valid!"));
  // Unmounting an unknown session is answered as done.
  EXPECT_EQ(client_->Request(UnmountRequest(5, 0xDEADBEEF, 7)), DoneReply(5));
}

TEST_F(RmtDskServerTest, ReadOnlyAndShortImagesAreServed) {
  const std::filesystem::path image = MakeImage("DEMO");
  const TBytes original = disk_test::ReadBytes(image);
  // A read-only session never writes; its image may be one the host will not
  // let us write at all.
  std::filesystem::permissions(image, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
  const uint32_t id = client_->Mount("DEMO", 7, true);
  std::optional<TBytes> reply = client_->Request(ReadRequest(5, id, 7, 4, 17));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Slice(*reply, 4, 2048), Slice(original, (4 * 32 + 16) * 128, 2048));
  EXPECT_EQ(client_->Request(WriteRequest(6, id, 7, 1, 0, TBytes(2048, 0))),
            ErrorReply(8, 6, "Disk is mounted read-only!"));
  EXPECT_TRUE(disk_test::ReadBytes(image) == original);

  // A read-write session on an image the user may not write reads it, refuses
  // each write with the reason, and shares it like a read-only session.
  korvel_test::OpenFolderToAll(folder_.Path());
  korvel_test::RunUnprivileged([&] {
    TRmtDskSessionList sessions;
    const RemoteDiskClientAddress writer{0x0100007F, 1000, 1};
    const RemoteDiskClientAddress reader{0x0100007F, 1001, 2};
    const uint32_t session = sessions.Mount(false, image, writer);
    TBytes block(2048);
    sessions.ReadBlock(session, 4, 17, block.data(), writer);
    EXPECT_EQ(block, Slice(original, (4 * 32 + 16) * 128, 2048));
    try {
      sessions.WriteBlock(session, 4, 17, block.data(), writer);
      ADD_FAILURE() << "a write to a read-only image was accepted";
    } catch (const EDiskError& error) {
      EXPECT_EQ(error.Code(), 8);
      EXPECT_STREQ(error.what(), "Write to disk failed, the disk image is read-only!");
    }
    EXPECT_NO_THROW(sessions.Mount(true, image, reader));
  });
  EXPECT_TRUE(disk_test::ReadBytes(image) == original);

  // What mkfs.cpm writes (16 KiB): the rest reads formatted, a write grows it.
  disk_test::WriteBytes(folder_ / "SHORT.cpmdsk", TBytes(16384, 0xE5));
  const uint32_t shortId = client_->Mount("SHORT", 8);
  reply = client_->Request(ReadRequest(7, shortId, 8, 200, 0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Slice(*reply, 4, 2048), TBytes(2048, 0xE5));
  const TBytes data = disk_test::Pattern(2048, 4);
  EXPECT_EQ(client_->Request(WriteRequest(8, shortId, 8, 200, 16, data)), DoneReply(8));
  const TBytes grown = disk_test::ReadBytes(folder_ / "SHORT.cpmdsk");
  ASSERT_EQ(grown.size(), 201u * 32 * 128);
  EXPECT_EQ(Slice(grown, (200 * 32 + 16) * 128, 2048), data);
  // An empty file is a blank disk.
  disk_test::WriteBytes(folder_ / "EMPTY.cpmdsk", {});
  const uint32_t emptyId = client_->Mount("EMPTY", 9);
  reply = client_->Request(ReadRequest(9, emptyId, 9, 2, 0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(Slice(*reply, 4, 2048), TBytes(2048, 0xE5));
  // A client that writes its boot tracks makes it a disk with its empty
  // directory, as mkfs.cpm writes one: it mounts again later.
  const TBytes boot = disk_test::Pattern(2048, 5);
  EXPECT_EQ(client_->Request(WriteRequest(10, emptyId, 9, 0, 0, boot)), DoneReply(10));
  TBytes made(16384, 0xE5);
  std::copy(boot.begin(), boot.end(), made.begin());
  EXPECT_EQ(disk_test::ReadBytes(folder_ / "EMPTY.cpmdsk"), made);
  EXPECT_EQ(client_->Request(UnmountRequest(11, emptyId, 9)), DoneReply(11));
  EXPECT_NE(client_->Mount("EMPTY", 9), 0u);
}

TEST_F(RmtDskServerTest, MissingOrBadImagesGiveNoSession) {
  EXPECT_EQ(client_->Request(MountRequest(1, "NONE", 7)), ErrorReply(1, 1, "Selected disk is bad!"));
  ::mkfifo((folder_ / "PIPE.cpmdsk").c_str(), 0600);
  std::filesystem::create_directory(folder_ / "DIR.cpmdsk");
  EXPECT_EQ(client_->Request(MountRequest(2, "PIPE", 7)), ErrorReply(1, 2, "Selected disk is bad!"));
  EXPECT_EQ(client_->Request(MountRequest(3, "DIR", 7)), ErrorReply(1, 3, "Selected disk is bad!"));
  // Files that cannot be a disk are refused and left alone: a note, random
  // bytes, whole records that end at or before the directory (a CP/M text
  // with its ^Z padding, 4 KiB of random bytes, a program), and whole disks
  // whose directory holds no disk's (random bytes, a ROM image, zeros).
  const std::string note = "Shopping: bread, milk.\nCall the plumber on Monday.\n";
  std::string letter;
  for (int line = 1; letter.size() < 1200; ++line) letter += "Line " + std::to_string(line) + " of a letter.\r\n";
  TBytes text(letter.begin(), letter.end());
  text.resize(1280, 0x1A);
  std::vector<std::pair<std::string, TBytes>> noDisks = {{"NOTES", TBytes(note.begin(), note.end())},
                                                         {"RANDOM", disk_test::Pattern(1000, 3)},
                                                         {"LETTER", text},
                                                         {"RANDOM4K", disk_test::Pattern(4096, 4)}};
  TBytes rom = disk_test::Pattern(3000, 6);
  if (korvel_test::HasFixture("cpm22/programs/PIP.COM")) {
    rom = korvel_test::ReadFile(korvel_test::Fixture("cpm22/programs/PIP.COM"));
    noDisks.emplace_back("PIP", rom);
  }
  rom.resize(kImageSize, 0xFF);
  noDisks.emplace_back("RANDOM1M", disk_test::Pattern(kImageSize, 5));
  noDisks.emplace_back("ROM", rom);
  noDisks.emplace_back("ZEROS", TBytes(kImageSize, 0));
  uint16_t tag = 4;
  for (const auto& [name, bytes] : noDisks) {
    SCOPED_TRACE(name);
    disk_test::WriteBytes(folder_ / (name + ".cpmdsk"), bytes);
    EXPECT_EQ(client_->Request(MountRequest(tag, name, 7)),
              ErrorReply(1, tag, "Selected disk is not a CP/M disk image!"));
    EXPECT_EQ(client_->Request(MountRequest(tag + 1, name, 7, true)),
              ErrorReply(1, tag + 1, "Selected disk is not a CP/M disk image!"));
    EXPECT_EQ(disk_test::ReadBytes(folder_ / (name + ".cpmdsk")), bytes);
    tag = static_cast<uint16_t>(tag + 2);
  }
  EXPECT_EQ(server_.GetSessionCount(), 0u);
  // Nothing was created for the missing one.
  EXPECT_FALSE(std::filesystem::exists(folder_ / "NONE.cpmdsk"));
  KORVEL_REQUIRE_FIXTURE("cpm22/programs/PIP.COM");
}

TEST_F(RmtDskServerTest, OnlyPlainDiskNamesAreAccepted) {
  // A file right outside the folder that a path could reach.
  TTempDir outside;
  disk_test::WriteBytes(outside / "x.cpmdsk", TBytes(kImageSize, 0xE5));
  const std::string escape = "../" + outside.Path().filename().string() + "/x";
  MakeImage(std::string(63, 'N'));
  MakeImage("Ok_name-1");
  const std::string invalid = "Invalid disk name!";
  const std::string names[] = {escape,
                               "../x",
                               (outside.Path() / "x").string(),
                               "a/b",
                               "..",
                               ".",
                               "a b",
                               "a.b",
                               std::string("DE\0MO", 5),
                               std::string(64, 'N'),
                               "x\\y",
                               "\xC3\xA4"};
  uint16_t tag = 100;
  for (const std::string& name : names) {
    if (name.size() > 63) {
      // 64 characters no longer fit a mount request.
      TBytes request = MountRequest(tag, name, 1);
      EXPECT_EQ(client_->Request(request), ErrorReply(32, tag, "Invalid mount request")) << name;
    } else {
      EXPECT_EQ(client_->Request(MountRequest(tag, name, 1)), ErrorReply(1, tag, invalid)) << name;
    }
    ++tag;
  }
  EXPECT_EQ(client_->Request(MountRequest(tag, "", 1)), ErrorReply(32, tag, "Invalid mount request"));
  EXPECT_EQ(server_.GetSessionCount(), 0u);
  client_->Mount(std::string(63, 'N'), 1);
  client_->Mount("Ok_name-1", 2);
}

TEST_F(RmtDskServerTest, SizesAreCheckedBeforeAnythingIsRead) {
  MakeImage("DEMO");
  MakeImage("TWO");
  const uint32_t id = client_->Mount("DEMO", 7);
  TBytes read = ReadRequest(1, id, 7, 0, 0);
  read.pop_back();
  EXPECT_EQ(client_->Request(read), ErrorReply(32, 1, "Invalid read request"));
  TBytes nop = NopRequest(2, id, 7);
  nop.push_back(0);
  EXPECT_EQ(client_->Request(nop), ErrorReply(32, 2, "Invalid nop request"));
  nop.resize(9);
  EXPECT_EQ(client_->Request(nop), ErrorReply(32, 2, "Invalid nop request"));
  EXPECT_EQ(client_->Request(TBytes{2, 0, 3, 0, 1}), ErrorReply(32, 3, "Invalid unmount request"));
  TBytes write = WriteRequest(4, id, 7, 0, 0, TBytes(2048));
  write.pop_back();
  EXPECT_EQ(client_->Request(write), ErrorReply(32, 4, "Invalid write request"));
  // The name length byte points past the end of the datagram.
  TBytes mount = MountRequest(5, "DEMO", 8);
  mount[8] = 10;
  EXPECT_EQ(client_->Request(mount), ErrorReply(32, 5, "Invalid mount request"));
  mount = MountRequest(6, "DEMO", 8);
  mount[8] = 255;
  EXPECT_EQ(client_->Request(mount), ErrorReply(32, 6, "Invalid mount request"));
  // Bytes after the name are ignored.
  mount = MountRequest(7, "TWO", 8);
  mount.resize(72, 'X');
  std::optional<TBytes> reply = client_->Request(mount);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 14u);
  EXPECT_EQ(server_.GetSessionCount(), 2u);
  mount.push_back('X');
  EXPECT_EQ(client_->Request(mount), ErrorReply(32, 7, "Invalid mount request"));
}

TEST_F(RmtDskServerTest, DatagramsWithoutATagOrWithUnknownCommandsGetNoReply) {
  MakeImage("DEMO");
  const uint32_t id = client_->Mount("DEMO", 7);
  client_->Send(TBytes{0});
  client_->Send(TBytes{3, 0, 1});
  client_->Send(TBytes{5, 0, 1, 0, 0, 0, 0, 0, 0, 0});
  client_->Send(TBytes{0x7F, 0, 1, 0});
  // Bit 7 of the command is ignored: 83h is a read.
  std::optional<TBytes> reply = client_->Request([&] {
    TBytes read = ReadRequest(0x0A0B, id, 7, 0, 0);
    read[0] = 0x83;
    return read;
  }());
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 2052u);
  EXPECT_EQ(Get16(*reply, 2), 0x0A0B);  // the first reply is the read's: nothing came before it
}

TEST_F(RmtDskServerTest, SessionsAreBoundedAndExpireWhenIdle) {
  MakeImage("A1");
  MakeImage("A2");
  MakeImage("A3");
  auto now = std::chrono::steady_clock::now();
  server_.SessionList.Clock = [&] { return now; };
  server_.SessionList.MaxSessions = 2;
  server_.SessionList.IdleTimeout = std::chrono::minutes(10);
  const uint32_t first = client_->Mount("A1", 1);
  now += std::chrono::minutes(6);
  client_->Mount("A2", 2);
  EXPECT_EQ(client_->Request(MountRequest(1, "A3", 3)), ErrorReply(1, 1, "Too many sessions!"));
  // Using the first session keeps it alive.
  now += std::chrono::minutes(3);
  EXPECT_EQ(client_->Request(NopRequest(2, first, 1)), DoneReply(2));
  now += std::chrono::minutes(8);  // the second is idle for 11 minutes, the first for 8
  client_->Mount("A3", 3);
  ASSERT_EQ(server_.GetSessionCount(), 2u);
  EXPECT_EQ(server_.GetSession(0)->SessionId, first);
  EXPECT_FALSE(server_.IsDiskFileInUse(folder_ / "A2.cpmdsk"));
  now += std::chrono::minutes(11);
  server_.LastChange = {};
  EXPECT_EQ(client_->Request(NopRequest(3, first, 1)), ErrorReply(1, 3, "Session is not valid!"));
  EXPECT_EQ(server_.GetSessionCount(), 0u);
  // The status display learns of the change.
  EXPECT_NE(server_.LastChange, std::chrono::system_clock::time_point{});
}

TEST_F(RmtDskServerTest, OneAddressCannotTakeEveryPlaceWhileOthersStillMount) {
  ASSERT_EQ(server_.SessionList.MaxSessionsPerAddress, 8u);
  ASSERT_EQ(server_.SessionList.MaxSessions, 64u);
  for (int i = 0; i < 12; ++i) MakeImage("D" + std::to_string(i));
  const std::string limit = "Too many sessions from this address!";
  // Eight sessions from one address: two ports with four client ids each.
  auto second = NewClient();
  std::vector<uint32_t> ids;
  for (uint16_t clientId = 1; clientId <= 4; ++clientId) {
    ids.push_back(client_->Mount("D" + std::to_string(clientId - 1), clientId));
    ids.push_back(second->Mount("D" + std::to_string(clientId + 3), clientId));
  }
  // A ninth, from a third port or another client id, is refused and opens nothing.
  auto third = NewClient();
  EXPECT_EQ(third->Request(MountRequest(1, "D8", 1)), ErrorReply(1, 1, limit));
  EXPECT_EQ(client_->Request(MountRequest(2, "D8", 5, true)), ErrorReply(1, 2, limit));
  EXPECT_EQ(server_.GetSessionCount(), 8u);
  EXPECT_FALSE(server_.IsDiskFileInUse(folder_ / "D8.cpmdsk"));

  // At the limit the same request still gets its own session back...
  EXPECT_EQ(client_->Mount("D0", 1), ids[0]);
  // ...and a client's own session is still replaced by another disk.
  const uint32_t replaced = client_->Mount("D8", 1);
  EXPECT_NE(replaced, ids[0]);
  EXPECT_EQ(server_.GetSessionCount(), 8u);
  EXPECT_FALSE(server_.IsDiskFileInUse(folder_ / "D0.cpmdsk"));
  EXPECT_TRUE(server_.IsDiskFileInUse(folder_ / "D8.cpmdsk"));
  std::optional<TBytes> reply = client_->Request(ReadRequest(3, replaced, 1, 0, 0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 2052u);

  // Another host mounts and works while the first is at its limit; its
  // sessions are not counted against the first.
  auto elsewhere = NewClient("127.0.0.2");
  const uint32_t other = elsewhere->Mount("D9", 1);
  reply = elsewhere->Request(ReadRequest(4, other, 1, 0, 0));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->size(), 2052u);
  EXPECT_EQ(third->Request(MountRequest(5, "D10", 1)), ErrorReply(1, 5, limit));
  EXPECT_EQ(server_.GetSessionCount(), 9u);

  // An unmount frees a place of the address.
  EXPECT_EQ(second->Request(UnmountRequest(6, ids[1], 1)), DoneReply(6));
  third->Mount("D10", 1);
  EXPECT_EQ(third->Request(MountRequest(7, "D4", 2)), ErrorReply(1, 7, limit));
  EXPECT_EQ(server_.GetSessionCount(), 9u);

  // With every place taken by several addresses, a new one waits like the rest.
  server_.SessionList.MaxSessions = 10;
  elsewhere->Mount("D11", 2);
  auto stranger = NewClient("127.0.0.3");
  EXPECT_EQ(stranger->Request(MountRequest(8, "D4", 1)), ErrorReply(1, 8, "Too many sessions!"));
  EXPECT_EQ(server_.GetSessionCount(), 10u);
}

TEST_F(RmtDskServerTest, SessionIdsCannotBeGuessedAndNeverRepeat) {
  MakeImage("DEMO");
  MakeImage("NEXT");
  // A client that knows its own id guesses the next client's as one more, and
  // sends with that client's address: the session is not found.
  const uint32_t first = client_->Mount("DEMO", 1);
  auto neighbour = NewClient();
  const uint32_t next = neighbour->Mount("NEXT", 1);
  EXPECT_NE(next, first + 1);
  EXPECT_EQ(neighbour->Request(ReadRequest(1, first + 1, 1, 0, 0)), ErrorReply(1, 1, "Session is not valid!"));
  EXPECT_EQ(neighbour->Request(WriteRequest(2, first + 1, 1, 0, 0, TBytes(2048))),
            ErrorReply(1, 2, "Session is not valid!"));

  // Many mounts, each a new session (read-only and back again replaces it),
  // across a restart of the server.
  std::vector<uint32_t> ids = {first, next};
  const auto mountMany = [&](int count) {
    for (int i = 0; i < count; ++i) ids.push_back(client_->Mount("DEMO", 1, i % 2 == 0));
  };
  mountMany(1000);
  const uint16_t port = server_.BoundPort();
  server_.SetActive(false);
  server_.BaseUdpRx1.LocalPort = std::to_string(port);
  server_.SetActive(true);
  mountMany(1000);
  ASSERT_EQ(ids.size(), 2002u);

  EXPECT_EQ(std::set<uint32_t>(ids.begin(), ids.end()).size(), ids.size()) << "an id came twice";
  EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);
  // No rule leads from one id to the next: the steps differ (a counter, or a
  // counter times a constant, repeats one step) and none is +1.
  std::set<uint32_t> steps;
  for (size_t i = 1; i < ids.size(); ++i) {
    EXPECT_NE(ids[i], ids[i - 1] + 1) << i;
    steps.insert(ids[i] - ids[i - 1]);
  }
  EXPECT_GT(steps.size(), (ids.size() - 1) * 95 / 100);
  // Spread over the whole range: every sixteenth of it is hit about as often
  // (125 expected each), and every bit is set in about half of the ids.
  std::vector<int> sixteenths(16, 0);
  std::vector<int> bits(32, 0);
  for (const uint32_t id : ids) {
    ++sixteenths[id >> 28];
    for (int bit = 0; bit < 32; ++bit) bits[bit] += (id >> bit) & 1;
  }
  for (int part = 0; part < 16; ++part) EXPECT_GT(sixteenths[part], 50) << "sixteenth " << part;
  for (int bit = 0; bit < 32; ++bit) {
    EXPECT_GT(bits[bit], 800) << "bit " << bit;
    EXPECT_LT(bits[bit], 1200) << "bit " << bit;
  }
}

TEST_F(RmtDskServerTest, StoppingClosesSessionsAndTheServerRestartsOnTheSamePort) {
  MakeImage("DEMO");
  const uint32_t id = client_->Mount("DEMO", 7);
  const uint16_t port = server_.BoundPort();
  server_.SetActive(false);
  EXPECT_FALSE(server_.GetActive());
  EXPECT_EQ(server_.GetSessionCount(), 0u);
  EXPECT_EQ(server_.BoundPort(), 0);
  // Nothing answers while stopped.
  client_->Send(NopRequest(1, id, 7));
  EXPECT_EQ(client_->Receive(std::chrono::milliseconds(200)), std::nullopt);

  server_.BaseUdpRx1.LocalPort = std::to_string(port);
  server_.SetActive(true);
  EXPECT_EQ(server_.BoundPort(), port);
  EXPECT_EQ(client_->Request(ReadRequest(2, id, 7, 0, 0)), ErrorReply(1, 2, "Session is not valid!"));
}

TEST_F(RmtDskServerTest, ABusyPortFailsLoudly) {
  TRmtDskMod second(&mainThread_);
  second.BaseUdpRx1.LocalPort = std::to_string(server_.BoundPort());
  second.BaseUdpRx1.AdapterAddress = "127.0.0.1";
  EXPECT_THROW(second.SetActive(true), ESocketError);
  EXPECT_FALSE(second.GetActive());
}

TEST_F(RmtDskServerTest, NoRequestIsHandledAfterTheServerIsDestroyed) {
  MakeImage("DEMO");
  auto server = std::make_unique<TRmtDskMod>(&mainThread_);
  server->DiskFolder = folder_.Path();
  server->BaseUdpRx1.LocalPort = "0";
  server->BaseUdpRx1.AdapterAddress = "127.0.0.1";
  server->SetActive(true);
  TTestClient client(mainThread_, server->BoundPort());
  client.Send(MountRequest(1, "DEMO", 1));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (mainThread_.PendingCount() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GT(mainThread_.PendingCount(), 0u);
  server.reset();
  mainThread_.RunPending();
  EXPECT_EQ(client.Receive(std::chrono::milliseconds(200)), std::nullopt);
}

}  // namespace
