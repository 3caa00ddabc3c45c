#include "RmtDskSession.h"

#include <algorithm>

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
      FDrive(std::make_unique<TDiskDrive>(FileName, -1)) {}

void TRmtDskSession::Touch(std::chrono::steady_clock::time_point Now) {
  LastUse = std::chrono::system_clock::now();
  LastUseTick = Now;
}

TRmtDskSessionList::TRmtDskSessionList()
    : Clock([] { return std::chrono::steady_clock::now(); }),
      // Ids start at the millisecond tick, so that ids of an earlier run are
      // unlikely to name a session of this one.
      FLastId(static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count())) {}

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

bool TRmtDskSessionList::IsFileInUse(const TFileIdentity& File, bool& ReadOnly) const {
  for (const auto& session : FSessions) {
    if (session->Identity == File) {
      ReadOnly = session->ReadOnly;
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
// image reached through another name is the same disk.
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
  if (FSessions.size() >= MaxSessions) throw EDiskError("Too many sessions!", DISK_ERROR_NO_DISK);

  const uint32_t id = ++FLastId;  // taken even when the open fails: ids are never reused
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
