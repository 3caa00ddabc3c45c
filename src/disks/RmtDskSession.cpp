#include "RmtDskSession.h"

#include <algorithm>
#include <bit>
#include <random>

namespace {

// SipHash-2-4 of one 8-byte message: a keyed pseudo-random function, so that
// its outputs tell nothing of the key.
uint64_t SipHash(const std::array<uint64_t, 2>& Key, uint64_t Message) {
  uint64_t v0 = Key[0] ^ 0x736f6d6570736575ULL;
  uint64_t v1 = Key[1] ^ 0x646f72616e646f6dULL;
  uint64_t v2 = Key[0] ^ 0x6c7967656e657261ULL;
  uint64_t v3 = Key[1] ^ 0x7465646279746573ULL;
  auto round = [&] {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  };
  v3 ^= Message;
  round();
  round();
  v0 ^= Message;
  const uint64_t last = uint64_t{8} << 56;  // the message length; no bytes left over
  v3 ^= last;
  round();
  round();
  v0 ^= last;
  v2 ^= 0xFF;
  for (int i = 0; i < 4; ++i) round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// A keyed permutation of the 32-bit values: a Feistel network over two 16-bit
// halves with SipHash as its round function. Every round can be undone, so two
// values never map to the same one. Halves this small need more than the
// classic four rounds before outputs stop betraying inputs; ten are cheap at
// one call per mount.
uint32_t PermuteId(const std::array<uint64_t, 2>& Key, uint32_t Value) {
  constexpr uint64_t kRounds = 10;
  auto left = static_cast<uint16_t>(Value >> 16);
  auto right = static_cast<uint16_t>(Value);
  for (uint64_t round = 0; round < kRounds; ++round) {
    const auto mixed = static_cast<uint16_t>(left ^ SipHash(Key, (round << 16) | right));
    left = right;
    right = mixed;
  }
  return (static_cast<uint32_t>(left) << 16) | right;
}

uint64_t Random64(std::random_device& Random) {
  return (static_cast<uint64_t>(Random()) << 32) ^ Random();
}

}  // namespace

TRmtDskSession::TRmtDskSession(uint32_t SessionId, bool ReadOnly, const std::filesystem::path& FileName,
                               TFileIdentity Identity, const RemoteDiskClientAddress& Client,
                               std::chrono::steady_clock::time_point Now)
    : SessionId(SessionId),
      ReadOnly(ReadOnly),
      FileName(FileName),
      Identity(Identity),
      Client(Client),
      LastUse(std::chrono::system_clock::now()),
      LastUseTick(Now),
      // A read-only mount never writes the image; a read-write mount of an
      // image the host will not let us write reads it and refuses each write.
      FDrive(std::make_unique<TDiskDrive>(FileName, -1,
                                          ReadOnly ? TDiskAccess::ReadOnly : TDiskAccess::ReadWriteIfAllowed)) {}

void TRmtDskSession::Touch(std::chrono::steady_clock::time_point Now) {
  LastUse = std::chrono::system_clock::now();
  LastUseTick = Now;
}

TRmtDskSessionList::TRmtDskSessionList() : Clock([] { return std::chrono::steady_clock::now(); }) {
  // The host's random source: ids of an earlier run, or of another server,
  // say nothing about the ids of this one.
  std::random_device random;
  FIdKey = {Random64(random), Random64(random)};
  FIdCounter = static_cast<uint32_t>(random());
}

uint32_t TRmtDskSessionList::NewSessionId() {
  for (;;) {
    const uint32_t id = PermuteId(FIdKey, FIdCounter++);
    // 0 stays free for a client to mean "no session". The counter comes round
    // to an id again only after 2^32 mounts; an id whose session is still open
    // then is skipped. Both skips end: at most MaxSessions ids are taken.
    if (id != 0 && !FindById(id)) return id;
  }
}

TRmtDskSession* TRmtDskSessionList::FindById(uint32_t Id) const {
  for (const auto& session : FSessions)
    if (session->SessionId == Id) return session.get();
  return nullptr;
}

TRmtDskSession* TRmtDskSessionList::FindByClient(const RemoteDiskClientAddress& Client) const {
  for (const auto& session : FSessions)
    if (ClientMatches(session->Client, Client)) return session.get();
  return nullptr;
}

size_t TRmtDskSessionList::CountOfAddress(uint32_t Address) const {
  return static_cast<size_t>(std::count_if(FSessions.begin(), FSessions.end(),
                                           [&](const auto& each) { return each->Client.Address == Address; }));
}

bool TRmtDskSessionList::IsFileInUse(const TFileIdentity& File, bool& ReadOnly) const {
  for (const auto& session : FSessions) {
    if (session->Identity == File) {
      // A session that cannot write shares like a read-only one.
      ReadOnly = session->ReadOnly || session->Drive().IsReadOnly();
      return true;
    }
  }
  ReadOnly = false;
  return false;
}

void TRmtDskSessionList::Remove(const TRmtDskSession* Session) {
  std::erase_if(FSessions, [Session](const auto& each) { return each.get() == Session; });
}

// Files are compared by identity, not by the spelling of their name: the same
// image reached through another name is the same disk. The same request again
// gets its session back, whatever the limits; a client's own session that is
// replaced frees its place before the limits are checked. Then the address's
// limit and the total limit apply.
uint32_t TRmtDskSessionList::Mount(bool ReadOnly, const std::filesystem::path& FileName,
                                   const RemoteDiskClientAddress& Client) {
  const std::optional<TFileIdentity> identity = TFileIdentity::OfRegularFile(FileName);
  if (!identity) throw EDiskError("Selected disk is bad!", DISK_ERROR_NO_DISK);

  if (TRmtDskSession* previous = FindByClient(Client)) {
    if (previous->Identity == *identity && previous->ReadOnly == ReadOnly) {
      previous->Touch(Clock());
      return previous->SessionId;
    }
    if (!AutoUnmount) throw EDiskError("Disk is mounted!", DISK_ERROR_MOUNTED);
    Remove(previous);
  }
  // The machine's own drive keeps a cache of its own: a second opening would
  // let the two sides overwrite each other's records unseen.
  if (IsFileMountedByMachine && IsFileMountedByMachine(*identity))
    throw EDiskError("Disk is in use!", DISK_ERROR_IN_USE);
  bool otherReadOnly = false;
  if (IsFileInUse(*identity, otherReadOnly) && !(otherReadOnly && ReadOnly))
    throw EDiskError("Disk is in use!", DISK_ERROR_IN_USE);
  // One address, from however many ports and client ids, must not take every
  // place and lock the others out until its sessions expire.
  if (CountOfAddress(Client.Address) >= MaxSessionsPerAddress)
    throw EDiskError("Too many sessions from this address!", DISK_ERROR_NO_DISK);
  if (FSessions.size() >= MaxSessions) throw EDiskError("Too many sessions!", DISK_ERROR_NO_DISK);

  const uint32_t id = NewSessionId();  // taken even when the open fails: ids are never reused
  FSessions.push_back(std::make_unique<TRmtDskSession>(id, ReadOnly, FileName, *identity, Client, Clock()));
  return id;
}

void TRmtDskSessionList::RemoveSession(uint32_t Id, const RemoteDiskClientAddress& Client, bool Force) {
  TRmtDskSession* session = FindById(Id);
  if (!session) return;
  if (!Force && !ClientMatches(session->Client, Client))
    throw EDiskError("Client info does not match!", DISK_ERROR_IN_USE);
  Remove(session);
}

TRmtDskSession& TRmtDskSessionList::SessionOf(uint32_t Id, const RemoteDiskClientAddress& Client) {
  TRmtDskSession* session = FindById(Id);
  if (!session) throw EDiskError("Session is not valid!", DISK_ERROR_NO_DISK);
  if (!ClientMatches(session->Client, Client)) throw EDiskError("Client info does not match!", DISK_ERROR_IN_USE);
  return *session;
}

void TRmtDskSessionList::CheckSession(uint32_t Id, const RemoteDiskClientAddress& Client) {
  SessionOf(Id, Client).Touch(Clock());
}

void TRmtDskSessionList::ReadBlock(uint32_t Id, uint16_t Track, uint16_t Sector, uint8_t* Data,
                                   const RemoteDiskClientAddress& Client) {
  TRmtDskSession& session = SessionOf(Id, Client);
  session.Drive().ReadBlock(Track, Sector, Data);
  session.Touch(Clock());
}

void TRmtDskSessionList::WriteBlock(uint32_t Id, uint16_t Track, uint16_t Sector, const uint8_t* Data,
                                    const RemoteDiskClientAddress& Client) {
  TRmtDskSession& session = SessionOf(Id, Client);
  if (session.ReadOnly) throw EDiskError("Disk is mounted read-only!", DISK_ERROR_WRITE);
  session.Drive().WriteBlock(Track, Sector, Data);
  session.Touch(Clock());
}

size_t TRmtDskSessionList::ExpireIdle() {
  const auto now = Clock();
  return std::erase_if(FSessions, [&](const auto& session) { return now - session->LastUseTick > IdleTimeout; });
}
