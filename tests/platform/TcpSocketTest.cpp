#include "TcpSocket.h"

#include <gtest/gtest.h>

#include <thread>

#include "WakeEvent.h"

TEST(TcpSocket, PortTextMustBeANumber) {
  EXPECT_EQ(ParseTcpPort("9999"), 9999);
  EXPECT_EQ(ParseTcpPort(" 0 "), 0);
  EXPECT_EQ(ParseTcpPort("65535"), 65535);
  for (const char* bad : {"", " ", "65536", "-1", "99a", "0x10", "1 2"}) EXPECT_FALSE(ParseTcpPort(bad)) << bad;
  TTcpListener listener;
  try {
    listener.Listen("abc", "127.0.0.1");
    FAIL() << "no error for a bad port";
  } catch (const ESocketError& error) {
    EXPECT_STREQ(error.what(), "\"abc\" is not a TCP port number (0 to 65535)");
  }
}

TEST(TcpSocket, AcceptWakesWhenSignalled) {
  TTcpListener listener;
  listener.Listen("0", "127.0.0.1");
  TWakeEvent wake;
  std::thread stopper([&] { wake.Signal(); });
  EXPECT_FALSE(listener.Accept(wake));  // would wait for ever without the wake
  stopper.join();
}
