// The UDP receiver: binding, delivery through the main thread or directly,
// sending, and switching off (thread joined, nothing delivered afterwards, the
// port free again at once).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BaseUdpRx.h"
#include "MainThread.h"
#include "RmtDskTestClient.h"
#include "UdpSocket.h"

namespace {

using rmt_test::TBytes;

// A loopback sender with its own port.
class TSender {
 public:
  TSender() {
    TUdpBindOptions options;
    options.AdapterAddress = htonl(INADDR_LOOPBACK);
    socket_.Open(options);
  }
  void SendTo(uint16_t port, const TBytes& bytes) {
    ASSERT_EQ(socket_.SendTo(bytes.data(), bytes.size(), 1000, MakeIPv4Address("127.0.0.1", port)),
              static_cast<ssize_t>(bytes.size()));
  }
  uint16_t Port() const { return socket_.LocalPort(); }
  TUdpSocket& Socket() { return socket_; }

 private:
  TUdpSocket socket_;
};

// Waits, without running it, until work is queued for the main thread.
bool WaitForQueuedWork(TQueuedMainThread& mainThread) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (mainThread.PendingCount() == 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class BaseUdpRxTest : public ::testing::Test {
 protected:
  BaseUdpRxTest() : rx_(&mainThread_) {
    rx_.LocalPort = "0";
    rx_.AdapterAddress = "127.0.0.1";
    rx_.OnDatagram = [this](TBaseUdpRx&, const uint8_t* data, int size, int, const sockaddr_in& from) {
      received_.emplace_back(data, data + size);
      lastFromPort_ = ntohs(from.sin_port);
    };
  }
  bool PumpUntilReceived(size_t count) {
    return mainThread_.PumpUntil([&] { return received_.size() >= count; }, std::chrono::seconds(10));
  }

  TQueuedMainThread mainThread_;
  TBaseUdpRx rx_;
  std::vector<TBytes> received_;
  uint16_t lastFromPort_ = 0;
};

TEST_F(BaseUdpRxTest, DefaultsAndTtlRange) {
  TBaseUdpRx rx(&mainThread_);
  EXPECT_FALSE(rx.GetActive());
  EXPECT_TRUE(rx.SynchronizeCallbacks);
  EXPECT_EQ(rx.GetTTL(), 128);
  rx.SetTTL(300);
  EXPECT_EQ(rx.GetTTL(), 255);
  rx.SetTTL(-1);
  EXPECT_EQ(rx.GetTTL(), 0);
  EXPECT_EQ(rx.BoundPort(), 0);
  EXPECT_EQ(rx.LastFrom().sin_addr.s_addr, 0xFFFFFFFFu);
}

TEST_F(BaseUdpRxTest, ResolvesAddressesAndPorts) {
  EXPECT_EQ(TBaseUdpSocket::ResolveAddress(""), "0.0.0.0");
  EXPECT_EQ(TBaseUdpSocket::ResolveAddress("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(TBaseUdpSocket::ResolveAddress("1.2.3"), "");
  EXPECT_EQ(TBaseUdpSocket::ResolveAddress("localhost"), "127.0.0.1");
  EXPECT_EQ(TBaseUdpSocket::ResolvePort(""), 0);
  EXPECT_EQ(TBaseUdpSocket::ResolvePort("999"), 999);
  EXPECT_THROW(TBaseUdpSocket::ResolvePort("no-such-service-xyz"), ESocketError);
  EXPECT_THROW(TBaseUdpSocket::ResolvePort("70000"), ESocketError);
}

TEST_F(BaseUdpRxTest, DeliversDatagramsOnTheMainThreadWithTheirSender) {
  rx_.SetActive(true);
  ASSERT_TRUE(rx_.GetActive());
  ASSERT_NE(rx_.BoundPort(), 0);
  TSender sender;
  sender.SendTo(rx_.BoundPort(), {1, 2, 3});
  TBytes big(8192, 0xA5);
  sender.SendTo(rx_.BoundPort(), big);
  ASSERT_TRUE(PumpUntilReceived(2));
  EXPECT_EQ(received_[0], (TBytes{1, 2, 3}));
  EXPECT_EQ(received_[1], big);
  EXPECT_EQ(lastFromPort_, sender.Port());
  EXPECT_EQ(ntohs(rx_.LastFrom().sin_port), sender.Port());
}

TEST_F(BaseUdpRxTest, SendReachesThePeerAndFailsWhileInactive) {
  TSender peer;
  const sockaddr_in to = MakeIPv4Address("127.0.0.1", peer.Port());
  const TBytes bytes = {9, 8, 7, 6};
  EXPECT_FALSE(rx_.Send(to, 100, 4, bytes.data()));
  rx_.SetActive(true);
  EXPECT_TRUE(rx_.Send(to, 1000, 4, bytes.data()));
  ASSERT_TRUE(peer.Socket().WaitReadable(5000));
  TBytes buffer(16);
  sockaddr_in from{};
  ASSERT_EQ(peer.Socket().ReceiveFrom(buffer.data(), buffer.size(), from), 4);
  buffer.resize(4);
  EXPECT_EQ(buffer, bytes);
  EXPECT_EQ(ntohs(from.sin_port), rx_.BoundPort());
}

TEST_F(BaseUdpRxTest, PortInUseFailsLoudlyAndLeavesItInactive) {
  TSender holder;
  rx_.LocalPort = std::to_string(holder.Port());
  try {
    rx_.SetActive(true);
    FAIL() << "binding a port in use succeeded";
  } catch (const ESocketError& error) {
    EXPECT_NE(std::string(error.what()).find("already in use"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(rx_.GetActive());
  rx_.LocalPort = "not a port";
  EXPECT_THROW(rx_.SetActive(true), ESocketError);
  EXPECT_FALSE(rx_.GetActive());
  // An address that is not one of this host's (TEST-NET-1).
  rx_.LocalPort = "0";
  rx_.AdapterAddress = "192.0.2.1";
  EXPECT_THROW(rx_.SetActive(true), ESocketError);
  EXPECT_FALSE(rx_.GetActive());
}

// Port 999 needs privileges; as root, the bind is tried in a child process
// that has given them up.
TEST_F(BaseUdpRxTest, PrivilegedPortFailsLoudlyWithoutPrivileges) {
  std::ifstream limit("/proc/sys/net/ipv4/ip_unprivileged_port_start");
  int firstFreePort = 1024;
  if (limit >> firstFreePort; firstFreePort <= 999) GTEST_SKIP() << "this host lets anyone bind port 999";
  const auto tryBind = [] {
    TBaseUdpRx rx(nullptr);
    rx.LocalPort = "999";
    try {
      rx.SetActive(true);
    } catch (const ESocketError& error) {
      return std::string(error.what()).find("needs privileges") != std::string::npos && !rx.GetActive() ? 0 : 2;
    }
    return 1;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(tryBind(), 0);
    return;
  }
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    _exit(tryBind());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: bound without privileges, 2: wrong error, 3: could not drop privileges";
}

TEST_F(BaseUdpRxTest, NothingIsDeliveredAfterSwitchingOffAndTheSamePortRebindsAtOnce) {
  rx_.SetActive(true);
  const uint16_t port = rx_.BoundPort();
  TSender sender;
  sender.SendTo(port, {1});
  // Wait until the datagram is queued for the main thread, then switch off
  // before it runs: it must never be delivered.
  ASSERT_TRUE(WaitForQueuedWork(mainThread_));
  rx_.SetActive(false);
  EXPECT_FALSE(rx_.GetActive());
  mainThread_.RunPending();
  EXPECT_TRUE(received_.empty());

  rx_.LocalPort = std::to_string(port);
  for (int round = 0; round < 20; ++round) {
    rx_.SetActive(true);
    ASSERT_EQ(rx_.BoundPort(), port);
    rx_.SetActive(false);
  }
  rx_.SetActive(true);
  sender.SendTo(port, {2});
  ASSERT_TRUE(PumpUntilReceived(1));
  EXPECT_EQ(received_[0], TBytes{2});
}

TEST_F(BaseUdpRxTest, AHandlerMaySwitchTheReceiverOff) {
  rx_.OnDatagram = [this](TBaseUdpRx& sender, const uint8_t* data, int size, int, const sockaddr_in&) {
    sender.SetActive(false);
    // The bytes stay valid for the whole call.
    received_.emplace_back(data, data + size);
  };
  rx_.SetActive(true);
  TSender sender;
  sender.SendTo(rx_.BoundPort(), {5, 6});
  sender.SendTo(rx_.BoundPort(), {7});
  ASSERT_TRUE(PumpUntilReceived(1));
  EXPECT_FALSE(rx_.GetActive());
  mainThread_.RunPending();
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0], (TBytes{5, 6}));
}

TEST_F(BaseUdpRxTest, DestroyingWithQueuedDatagramsDeliversNothing) {
  std::atomic<int> delivered{0};
  {
    TBaseUdpRx rx(&mainThread_);
    rx.LocalPort = "0";
    rx.AdapterAddress = "127.0.0.1";
    rx.OnDatagram = [&](TBaseUdpRx&, const uint8_t*, int, int, const sockaddr_in&) { ++delivered; };
    rx.SetActive(true);
    TSender sender;
    sender.SendTo(rx.BoundPort(), {1});
    ASSERT_TRUE(WaitForQueuedWork(mainThread_));
  }
  mainThread_.RunPending();
  EXPECT_EQ(delivered, 0);
}

TEST_F(BaseUdpRxTest, UnsynchronisedDeliveryRunsOnTheReceiveThread) {
  std::atomic<int> delivered{0};
  std::atomic<bool> onMainThread{false};
  const auto mainId = std::this_thread::get_id();
  rx_.SynchronizeCallbacks = false;
  rx_.OnDatagram = [&](TBaseUdpRx&, const uint8_t* data, int size, int, const sockaddr_in&) {
    if (std::this_thread::get_id() == mainId) onMainThread = true;
    if (size == 1 && data[0] == 42) ++delivered;
  };
  rx_.SetActive(true);
  TSender sender;
  for (int i = 0; i < 3; ++i) sender.SendTo(rx_.BoundPort(), {42});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (delivered < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  rx_.SetActive(false);
  EXPECT_EQ(delivered, 3);
  EXPECT_FALSE(onMainThread);
  EXPECT_EQ(mainThread_.PendingCount(), 0u);
}

// A receiver destroyed by its own unsynchronised handler: its thread ends on
// its own, frees itself and closes the port.
// The lock orders the test's own uses of the receiver before the handler's
// (the datagram between them orders them too, but checkers cannot see that).
std::mutex DoomedReceiverLock;
std::unique_ptr<TBaseUdpRx> DoomedReceiver;
std::atomic<bool> DoomedReceiverDestroyed{false};

TEST_F(BaseUdpRxTest, AnUnsynchronisedHandlerMayDestroyItsReceiver) {
  uint16_t port = 0;
  {
    std::lock_guard<std::mutex> guard(DoomedReceiverLock);
    DoomedReceiver = std::make_unique<TBaseUdpRx>(&mainThread_);
    DoomedReceiver->LocalPort = "0";
    DoomedReceiver->AdapterAddress = "127.0.0.1";
    DoomedReceiver->SynchronizeCallbacks = false;
    DoomedReceiver->OnDatagram = [](TBaseUdpRx&, const uint8_t*, int, int, const sockaddr_in&) {
      std::lock_guard<std::mutex> guard(DoomedReceiverLock);
      DoomedReceiver.reset();
      DoomedReceiverDestroyed = true;
    };
    DoomedReceiver->SetActive(true);
    port = DoomedReceiver->BoundPort();
  }
  TSender sender;
  sender.SendTo(port, {1});
  // The port is free again once the thread has ended.
  TBaseUdpRx successor(&mainThread_);
  successor.LocalPort = std::to_string(port);
  successor.AdapterAddress = "127.0.0.1";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!successor.GetActive() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!DoomedReceiverDestroyed) continue;
    try {
      successor.SetActive(true);
    } catch (const ESocketError&) {
    }
  }
  EXPECT_TRUE(DoomedReceiverDestroyed);
  EXPECT_TRUE(successor.GetActive());
}

}  // namespace
