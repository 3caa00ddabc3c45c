// The remote disk server: programs elsewhere on the network mount the disk
// images of DiskFolder by name over UDP, read and write them in 2 KiB blocks
// (half tracks) and unmount them. Requests are handled on the main thread, one
// datagram at a time.
//
// Requests (little-endian; byte 0 bits 0-6 the command, byte 2-3 a tag echoed
// in the reply):
//   0 nop, 2 unmount  10 bytes: 4 session id (4), 8 client id (2)
//   1 mount           10-72 bytes: 4 flags (bit 0 read-only), 6 client id (2),
//                     8 name length n, 9 n name characters (no extension)
//   3 read block      14 bytes: 4 session id, 8 client id, 10 track, 12 sector
//   4 write block     2062 bytes: as read block, then 2048 data bytes
// Replies: 4 bytes (0, tag) for nop, unmount and write; 14 bytes for mount (0,
// tag, session id, 2048, 256, 32); 2052 bytes for read (0, tag, data); 68 bytes
// for an error (code, tag, text length, text, zeros).
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

#include "BaseUdpRx.h"
#include "RmtDskSession.h"

class TRmtDskMod final {
 public:
  static constexpr const char* DefaultPort = "999";
  static constexpr int MaxDiskNameLength = 63;
  static constexpr int ReplyTimeoutMs = 1000;
  // Error codes of the protocol beside those of EDiskError.
  static constexpr uint16_t ErrorBadRequestSize = 32;
  static constexpr uint16_t ErrorOther = 255;

  explicit TRmtDskMod(IMainThread* MainThread = GetMainThread());
  TRmtDskMod(const TRmtDskMod&) = delete;
  TRmtDskMod& operator=(const TRmtDskMod&) = delete;
  ~TRmtDskMod();  // stops the server: its thread is joined, its images closed

  TRmtDskSessionList SessionList;
  TBaseUdpRx BaseUdpRx1;
  // Folder of the images; a requested name is looked up in it (empty: the
  // current folder).
  std::filesystem::path DiskFolder;
  // Creation, and the last successful mount or unmount.
  std::chrono::system_clock::time_point LastChange;

  // True closes every session and starts receiving on BaseUdpRx1.LocalPort;
  // ESocketError when the port cannot be bound. False stops receiving (no
  // request is handled after it returns) and closes every session.
  void SetActive(bool Value);
  bool GetActive() const { return BaseUdpRx1.GetActive(); }
  void SetAutoUnmount(bool Value) { SessionList.AutoUnmount = Value; }
  // The port being served (the chosen one for port "0"), 0 while stopped.
  uint16_t BoundPort() const { return BaseUdpRx1.BoundPort(); }

  size_t GetSessionCount() const { return SessionList.Count(); }
  const TRmtDskSession* GetSession(size_t Index) const { return SessionList.GetSession(Index); }
  // Whether a client has the image at FileName open (compared by identity),
  // so that the machine can refuse to mount it in a drive.
  bool IsDiskFileInUse(const std::filesystem::path& FileName) const;

  // Handles one request and sends its reply (if any) to From.
  void HandleDatagram(const uint8_t* Data, int DataSize, const sockaddr_in& From);
  // A plain disk name: 1 to 63 letters, digits, '_' or '-'.
  static bool IsValidDiskName(const std::string& Name);

 private:
  void Reply(const sockaddr_in& To, const uint8_t* Data, int Size);
  void ReplyError(const sockaddr_in& To, uint16_t Tag, uint16_t Code, const std::string& Text);
  uint32_t MountRequest(const uint8_t* Data, int DataSize, const RemoteDiskClientAddress& Client);
};
