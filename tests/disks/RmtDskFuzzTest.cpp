// Hostile traffic for the remote disk server: thousands of random, mutated and
// truncated datagrams (fixed seed). The server must keep answering a well-
// behaved client correctly and never touch a file outside its folder.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "DiskTestSupport.h"
#include "RmtDskMod.h"
#include "RmtDskTestClient.h"

namespace {

using namespace rmt_test;
using disk_test::TTempDir;

constexpr size_t kImageSize = 1048576;

// Every file under Root with its bytes and modification time.
std::map<std::string, std::pair<TBytes, std::filesystem::file_time_type>> Snapshot(const std::filesystem::path& root) {
  std::map<std::string, std::pair<TBytes, std::filesystem::file_time_type>> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    files[entry.path().string()] = {entry.is_regular_file() ? disk_test::ReadBytes(entry.path()) : TBytes(),
                                    std::filesystem::last_write_time(entry.path())};
  return files;
}

class TDatagramFuzzer {
 public:
  TDatagramFuzzer(uint32_t session) : session_(session) {}

  TBytes Next() {
    switch (Pick(10)) {
      case 0:
      case 1:
      case 2:  // random bytes of a random size, mostly small
        return RandomBytes(Pick(4) == 0 ? Pick(2100) : Pick(80));
      case 3:
      case 4: {  // a valid-looking request cut short or overlong
        TBytes request = Template();
        request.resize(Pick(static_cast<uint32_t>(request.size()) + 8), static_cast<uint8_t>(Pick(256)));
        return request;
      }
      case 5:
      case 6: {  // a valid-looking request with some bytes changed
        TBytes request = Template();
        for (uint32_t flips = 1 + Pick(4); flips > 0; --flips)
          request[Pick(static_cast<uint32_t>(request.size()))] = static_cast<uint8_t>(Pick(256));
        return request;
      }
      default: {  // a mount of a name built from dangerous characters
        static const std::string alphabet = "./\\\0AZaz09_-FUZZDEMO~:*";
        std::string name;
        for (uint32_t n = Pick(12); n > 0; --n) name += alphabet[Pick(static_cast<uint32_t>(alphabet.size()))];
        if (Pick(4) == 0) name = "../" + name;
        if (Pick(6) == 0) name = "FUZZ";
        return MountRequest(static_cast<uint16_t>(Pick(65536)), name.substr(0, 63), static_cast<uint16_t>(Pick(4)),
                            Pick(2) == 0);
      }
    }
  }

 private:
  uint32_t Pick(uint32_t bound) {
    return bound == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_);
  }
  TBytes RandomBytes(size_t size) {
    TBytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(Pick(256));
    return bytes;
  }
  TBytes Template() {
    const uint32_t session = Pick(2) ? session_ : static_cast<uint32_t>(random_());
    const auto tag = static_cast<uint16_t>(Pick(65536));
    const auto client = static_cast<uint16_t>(Pick(3));
    switch (Pick(5)) {
      case 0:
        return NopRequest(tag, session, client);
      case 1:
        return MountRequest(tag, Pick(2) ? "FUZZ" : "DEMO", client, Pick(2) == 0);
      case 2:
        return UnmountRequest(tag, session, client);
      case 3:
        return ReadRequest(tag, session, client, static_cast<uint16_t>(Pick(300)), static_cast<uint16_t>(Pick(40)));
      default:
        return WriteRequest(tag, session, client, static_cast<uint16_t>(Pick(300)), static_cast<uint16_t>(Pick(40)),
                            RandomBytes(2048));
    }
  }

  std::mt19937 random_{20261209};
  uint32_t session_;
};

class RmtDskFuzzTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = root_.Path() / "disks";
    std::filesystem::create_directory(folder_);
    demo_ = disk_test::DiskPattern(3);
    disk_test::WriteBytes(folder_ / "DEMO.cpmdsk", demo_);
    disk_test::WriteBytes(folder_ / "FUZZ.cpmdsk", TBytes(kImageSize, 0xE5));
    // Targets a path could reach from the folder.
    disk_test::WriteBytes(root_ / "x.cpmdsk", TBytes(kImageSize, 0x11));
    disk_test::WriteBytes(root_ / "FUZZ.cpmdsk", TBytes(kImageSize, 0x22));
    server_.DiskFolder = folder_;
    server_.BaseUdpRx1.LocalPort = "0";
    server_.BaseUdpRx1.AdapterAddress = "127.0.0.1";
    server_.SetActive(true);
  }
  void ExpectOnlyTheFolderChanged(
      const std::map<std::string, std::pair<TBytes, std::filesystem::file_time_type>>& before) {
    auto after = Snapshot(root_.Path());
    after.erase((folder_ / "FUZZ.cpmdsk").string());  // the fuzzer may write to its own disk
    auto expected = before;
    expected.erase((folder_ / "FUZZ.cpmdsk").string());
    ASSERT_EQ(after.size(), expected.size()) << "files were created or removed";
    for (const auto& [name, file] : expected) {
      ASSERT_TRUE(after.count(name)) << name;
      EXPECT_TRUE(after[name].first == file.first) << name << " changed";
      EXPECT_EQ(after[name].second, file.second) << name << " was written";
    }
  }

  TTempDir root_;
  std::filesystem::path folder_;
  TBytes demo_;
  TQueuedMainThread mainThread_;
  TRmtDskMod server_{&mainThread_};
};

TEST_F(RmtDskFuzzTest, RandomDatagramsOverTheNetworkLeaveTheServerServing) {
  const auto before = Snapshot(root_.Path());
  TTestClient good(mainThread_, server_.BoundPort());
  TTestClient attacker(mainThread_, server_.BoundPort());
  const uint32_t session = good.Mount("DEMO", 7);
  TDatagramFuzzer fuzzer(session);
  uint16_t tag = 0;
  for (int round = 0; round < 160; ++round) {
    for (int i = 0; i < 25; ++i) attacker.Send(fuzzer.Next());
    const auto track = static_cast<uint16_t>((round * 37) % 256);
    const auto sector = static_cast<uint16_t>(round % 32);
    ++tag;
    good.Send(ReadRequest(tag, session, 7, track, sector));
    std::optional<TBytes> reply = good.ReceiveTagged(tag);
    ASSERT_TRUE(reply) << "no answer in round " << round;
    ASSERT_EQ(reply->size(), 2052u);
    const size_t offset = (static_cast<size_t>(track) * 32 + (sector & 0xF0u)) * 128;
    ASSERT_TRUE(TBytes(reply->begin() + 4, reply->end()) ==
                TBytes(demo_.begin() + static_cast<long>(offset), demo_.begin() + static_cast<long>(offset + 2048)))
        << "round " << round;
  }
  ++tag;
  good.Send(NopRequest(tag, session, 7));
  EXPECT_EQ(good.ReceiveTagged(tag), DoneReply(tag));
  EXPECT_LE(server_.GetSessionCount(), server_.SessionList.MaxSessions);
  server_.SetActive(false);
  ExpectOnlyTheFolderChanged(before);
}

TEST_F(RmtDskFuzzTest, RandomDatagramsHandledDirectlyNeverReadPastTheirEnd) {
  const auto before = Snapshot(root_.Path());
  TTestClient good(mainThread_, server_.BoundPort());
  const uint32_t session = good.Mount("DEMO", 7);
  TDatagramFuzzer fuzzer(session);
  // Replies go to a socket nobody reads; each datagram is a buffer of its
  // exact size, so a read past its end shows under the address sanitizer.
  TUdpSocket sink;
  TUdpBindOptions options;
  options.AdapterAddress = htonl(INADDR_LOOPBACK);
  sink.Open(options);
  const sockaddr_in from = MakeIPv4Address("127.0.0.1", sink.LocalPort());
  for (int i = 0; i < 20000; ++i) {
    const TBytes datagram = fuzzer.Next();
    auto exact = std::make_unique<uint8_t[]>(datagram.size());
    std::copy(datagram.begin(), datagram.end(), exact.get());
    server_.HandleDatagram(datagram.empty() ? nullptr : exact.get(), static_cast<int>(datagram.size()), from);
  }
  // Some of the fuzzer's mounts of its own disk went through.
  EXPECT_GT(server_.GetSessionCount(), 1u);
  EXPECT_LE(server_.GetSessionCount(), server_.SessionList.MaxSessions);
  std::optional<TBytes> reply = good.Request(ReadRequest(1, session, 7, 200, 3));
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), 2052u);
  EXPECT_TRUE(TBytes(reply->begin() + 4, reply->end()) ==
              TBytes(demo_.begin() + 200 * 32 * 128, demo_.begin() + 200 * 32 * 128 + 2048));
  server_.SetActive(false);
  ExpectOnlyTheFolderChanged(before);
}

}  // namespace
