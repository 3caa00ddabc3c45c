// Sessions of the remote disk server: each client that mounted a disk image
// holds one, with its own drive on the image. All calls come from the main
// thread, one request at a time, so nothing here is locked.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "DiskDrive.h"
#include "FileIdentity.h"

// Who sent a request: IPv4 address and UDP port (both in network order, as
// taken from the datagram) and the client id the request carries.
struct RemoteDiskClientAddress {
  uint32_t Address = 0;
  uint16_t Port = 0;
  uint16_t ClientId = 0;

  friend bool operator==(const RemoteDiskClientAddress&, const RemoteDiskClientAddress&) = default;
};

class TRmtDskSession final {
 public:
  // Opens the drive on FileName; EDiskError 1 "Selected disk is bad!" when it cannot.
  TRmtDskSession(uint32_t SessionId, bool ReadOnly, const std::filesystem::path& FileName, TFileIdentity Identity,
                 const RemoteDiskClientAddress& Client, std::chrono::steady_clock::time_point Now);

  const uint32_t SessionId;
  const bool ReadOnly;
  const std::filesystem::path FileName;
  const TFileIdentity Identity;
  const RemoteDiskClientAddress Client;
  // Mount, reuse and every block transfer: wall-clock time for display, the
  // steady tick for expiry.
  std::chrono::system_clock::time_point LastUse;
  std::chrono::steady_clock::time_point LastUseTick;
  TDiskDrive& Drive() { return *FDrive; }
  const TDiskDrive& Drive() const { return *FDrive; }

  void Touch(std::chrono::steady_clock::time_point Now);

 private:
  std::unique_ptr<TDiskDrive> FDrive;
};

class TRmtDskSessionList final {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  // Whether the emulated machine has the file of this identity in one of its
  // drives; such a file is never opened for a client.
  using TMountedQuery = std::function<bool(const TFileIdentity& File)>;

  static constexpr size_t DefaultMaxSessions = 64;
  // A machine has four drives, each mounted by its own session; eight lets two
  // machines share one host or one NAT address, while one address alone can
  // never fill the server. Eight addresses at their limit still can: the limit
  // guards against a single greedy or broken client, not against many hosts.
  static constexpr size_t DefaultMaxSessionsPerAddress = 8;
  static_assert(DefaultMaxSessionsPerAddress < DefaultMaxSessions);
  static constexpr std::chrono::minutes DefaultIdleTimeout{60};

  TRmtDskSessionList();
  TRmtDskSessionList(const TRmtDskSessionList&) = delete;
  TRmtDskSessionList& operator=(const TRmtDskSessionList&) = delete;

  // A client whose previous session is for another disk (or another mode)
  // gets it replaced when on, EDiskError 64 "Disk is mounted!" when off.
  bool AutoUnmount = true;
  // At most this many sessions are open; a mount beyond gets EDiskError 1.
  size_t MaxSessions = DefaultMaxSessions;
  // At most this many of them belong to one IPv4 address (whatever its ports
  // and client ids); a mount beyond gets EDiskError 1. Below MaxSessions,
  // other addresses can mount while one address is at its limit.
  size_t MaxSessionsPerAddress = DefaultMaxSessionsPerAddress;
  // A session not used for this long is closed (see ExpireIdle).
  std::chrono::steady_clock::duration IdleTimeout = DefaultIdleTimeout;
  TMountedQuery IsFileMountedByMachine;
  // The clock for expiry; the steady clock unless a test sets its own.
  TClock Clock;

  size_t Count() const { return FSessions.size(); }
  void Clear() { FSessions.clear(); }
  TRmtDskSession* GetSession(size_t Index) const { return Index < FSessions.size() ? FSessions[Index].get() : nullptr; }
  static bool ClientMatches(const RemoteDiskClientAddress& A, const RemoteDiskClientAddress& B) { return A == B; }
  TRmtDskSession* FindById(uint32_t Id) const;
  TRmtDskSession* FindByClient(const RemoteDiskClientAddress& Client) const;
  // How many sessions the IPv4 address Address (network order) holds.
  size_t CountOfAddress(uint32_t Address) const;
  // Whether a session has the file of this identity open; ReadOnly tells
  // whether that (first found) session never writes it (mounted read-only, or
  // its image opened read-only).
  bool IsFileInUse(const TFileIdentity& File, bool& ReadOnly) const;

  // Mounts FileName for Client and returns the session id (see the .cpp for
  // the rules); EDiskError on refusal. Ids are unpredictable, never 0, and not
  // given twice before 2^32 mounts (nor then while the first holder is open).
  uint32_t Mount(bool ReadOnly, const std::filesystem::path& FileName, const RemoteDiskClientAddress& Client);
  // Closes session Id; an unknown id does nothing. Another client's session is
  // refused (EDiskError 16) unless Force.
  void RemoveSession(uint32_t Id, const RemoteDiskClientAddress& Client, bool Force);
  // Checks that session Id exists and belongs to Client, and keeps it alive.
  void CheckSession(uint32_t Id, const RemoteDiskClientAddress& Client);
  // One 2 KiB block: sectors 0-15 or 16-31 of Track, whichever holds Sector.
  void ReadBlock(uint32_t Id, uint16_t Track, uint16_t Sector, uint8_t* Data, const RemoteDiskClientAddress& Client);
  // Refused with EDiskError 8 on a read-only session.
  void WriteBlock(uint32_t Id, uint16_t Track, uint16_t Sector, const uint8_t* Data,
                  const RemoteDiskClientAddress& Client);
  // Closes the sessions idle longer than IdleTimeout; returns how many.
  size_t ExpireIdle();

 private:
  TRmtDskSession& SessionOf(uint32_t Id, const RemoteDiskClientAddress& Client);
  void Remove(const TRmtDskSession* Session);
  uint32_t NewSessionId();

  std::vector<std::unique_ptr<TRmtDskSession>> FSessions;
  // Session ids are a keyed permutation of a counter: both are random, drawn
  // once per list, so that a client that saw its own ids cannot tell another
  // client's.
  std::array<uint64_t, 2> FIdKey;
  uint32_t FIdCounter;
};
