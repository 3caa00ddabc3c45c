#include "RmtDskMod.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

enum TCommand : uint8_t { CMD_NOP = 0, CMD_MOUNT = 1, CMD_UNMOUNT = 2, CMD_READ = 3, CMD_WRITE = 4 };

constexpr int kHeaderSize = 4;  // command, unused, tag
constexpr int kSessionRequestSize = 10;
constexpr int kMountMinSize = 10;
constexpr int kMountNameOffset = 9;
constexpr int kMountMaxSize = kMountNameOffset + TRmtDskMod::MaxDiskNameLength;  // 72
constexpr int kReadRequestSize = 14;
constexpr int kBlockSize = TDiskDrive::BlockSize();
constexpr int kWriteRequestSize = kReadRequestSize + kBlockSize;  // 2062
constexpr int kErrorReplySize = 68;
constexpr int kErrorTextMax = 63;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (static_cast<uint32_t>(Get16(p + 2)) << 16); }
void Put16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}
void Put32(uint8_t* p, uint32_t value) {
  Put16(p, static_cast<uint16_t>(value));
  Put16(p + 2, static_cast<uint16_t>(value >> 16));
}

// A request whose size is wrong for its command.
struct TBadSize {
  const char* Text;
};

}  // namespace

TRmtDskMod::TRmtDskMod(IMainThread* MainThread) : BaseUdpRx1(MainThread), LastChange(std::chrono::system_clock::now()) {
  BaseUdpRx1.SynchronizeCallbacks = true;
  BaseUdpRx1.LocalPort = DefaultPort;
  BaseUdpRx1.OnDatagram = [this](TBaseUdpRx&, const uint8_t* Data, int DataSize, int, const sockaddr_in& From) {
    HandleDatagram(Data, DataSize, From);
  };
}

TRmtDskMod::~TRmtDskMod() { SetActive(false); }

void TRmtDskMod::SetActive(bool Value) {
  if (Value) {
    if (BaseUdpRx1.GetActive()) return;
    SessionList.Clear();
    BaseUdpRx1.SetActive(true);
  } else {
    if (!BaseUdpRx1.GetActive()) return;
    BaseUdpRx1.SetActive(false);
    SessionList.Clear();
  }
}

bool TRmtDskMod::IsDiskFileInUse(const std::filesystem::path& FileName) const {
  const std::optional<TFileIdentity> identity = TFileIdentity::OfRegularFile(FileName);
  bool readOnly = false;
  return identity && SessionList.IsFileInUse(*identity, readOnly);
}

bool TRmtDskMod::IsValidDiskName(const std::string& Name) {
  if (Name.empty() || Name.size() > MaxDiskNameLength) return false;
  return std::all_of(Name.begin(), Name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
}

void TRmtDskMod::Reply(const sockaddr_in& To, const uint8_t* Data, int Size) {
  // A reply that finds no room within the time is dropped; the client repeats.
  BaseUdpRx1.Send(To, ReplyTimeoutMs, Size, Data);
}

void TRmtDskMod::ReplyError(const sockaddr_in& To, uint16_t Tag, uint16_t Code, const std::string& Text) {
  std::array<uint8_t, kErrorReplySize> reply{};
  Put16(&reply[0], Code);
  Put16(&reply[2], Tag);
  const size_t length = std::min<size_t>(Text.size(), kErrorTextMax);
  reply[4] = static_cast<uint8_t>(length);
  std::memcpy(&reply[5], Text.data(), length);
  Reply(To, reply.data(), kErrorReplySize);
}

uint32_t TRmtDskMod::MountRequest(const uint8_t* Data, int DataSize, const RemoteDiskClientAddress& Client) {
  // The name must lie inside the datagram; bytes after it are ignored.
  const int length = Data[8];
  if (kMountNameOffset + length > DataSize) throw TBadSize{"Invalid mount request"};
  const std::string name(reinterpret_cast<const char*>(Data + kMountNameOffset), static_cast<size_t>(length));
  // Only a plain name, so that no request reaches a file outside DiskFolder.
  if (!IsValidDiskName(name)) throw EDiskError("Invalid disk name!", DISK_ERROR_NO_DISK);
  const bool readOnly = (Data[4] & 1) != 0;
  const std::filesystem::path fileName =
      DiskFolder.empty() ? std::filesystem::path(name + ".cpmdsk") : DiskFolder / (name + ".cpmdsk");
  return SessionList.Mount(readOnly, fileName, Client);
}

void TRmtDskMod::HandleDatagram(const uint8_t* Data, int DataSize, const sockaddr_in& From) {
  // Without a whole header there is no tag to answer with.
  if (!Data || DataSize < kHeaderSize) return;
  const uint8_t command = Data[0] & 0x7F;
  if (command > CMD_WRITE) return;
  const uint16_t tag = Get16(Data + 2);
  RemoteDiskClientAddress client{From.sin_addr.s_addr, From.sin_port, 0};

  // Sessions of clients that vanished do not hold their images for ever.
  if (SessionList.ExpireIdle() > 0) LastChange = std::chrono::system_clock::now();
  try {
    std::array<uint8_t, kHeaderSize + kBlockSize> reply{};
    Put16(&reply[2], tag);
    int replySize = kHeaderSize;
    switch (command) {
      case CMD_NOP:
      case CMD_UNMOUNT: {
        if (DataSize != kSessionRequestSize)
          throw TBadSize{command == CMD_NOP ? "Invalid nop request" : "Invalid unmount request"};
        client.ClientId = Get16(Data + 8);
        if (command == CMD_NOP) {
          // A keep-alive: the session must exist and stays mounted.
          SessionList.CheckSession(Get32(Data + 4), client);
        } else {
          SessionList.RemoveSession(Get32(Data + 4), client, false);
          LastChange = std::chrono::system_clock::now();
        }
        break;
      }
      case CMD_MOUNT: {
        if (DataSize < kMountMinSize || DataSize > kMountMaxSize) throw TBadSize{"Invalid mount request"};
        client.ClientId = Get16(Data + 6);
        const uint32_t id = MountRequest(Data, DataSize, client);
        LastChange = std::chrono::system_clock::now();
        Put32(&reply[4], id);
        Put16(&reply[8], static_cast<uint16_t>(kBlockSize));
        Put16(&reply[10], TDiskDrive::TRACK_COUNT);
        Put16(&reply[12], TDiskDrive::SECTORS_PER_TRACK);
        replySize = 14;
        break;
      }
      case CMD_READ:
      case CMD_WRITE: {
        const bool write = command == CMD_WRITE;
        if (DataSize != (write ? kWriteRequestSize : kReadRequestSize))
          throw TBadSize{write ? "Invalid write request" : "Invalid read request"};
        client.ClientId = Get16(Data + 8);
        const uint32_t id = Get32(Data + 4);
        const uint16_t track = Get16(Data + 10);
        const uint16_t sector = Get16(Data + 12);
        if (write) {
          SessionList.WriteBlock(id, track, sector, Data + kReadRequestSize, client);
        } else {
          SessionList.ReadBlock(id, track, sector, &reply[kHeaderSize], client);
          replySize = kHeaderSize + kBlockSize;
        }
        break;
      }
      default:
        return;
    }
    Reply(From, reply.data(), replySize);
  } catch (const TBadSize& bad) {
    ReplyError(From, tag, ErrorBadRequestSize, bad.Text);
  } catch (const EDiskError& error) {
    // The fixed text of the error: the host's reasons stay on this host.
    ReplyError(From, tag, static_cast<uint16_t>(error.Code() & 0xFFFF), error.Message());
  } catch (const std::exception& error) {
    ReplyError(From, tag, ErrorOther, error.what());
  }
}
