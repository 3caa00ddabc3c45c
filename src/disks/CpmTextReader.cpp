#include "CpmTextReader.h"

namespace {

constexpr std::uint8_t Cr = 0x0D;
constexpr std::uint8_t Lf = 0x0A;

}  // namespace

TCpmTextReader::TCpmTextReader(TStream& Source) : FSource(Source), FChunk(static_cast<size_t>(ChunkSize)) {}

bool TCpmTextReader::NextChunk() {
  if (FSourceEnded) return false;
  const std::int64_t Got = FSource.Read(FChunk.data(), ChunkSize);
  if (Got <= 0) {
    FSourceEnded = true;
    return false;
  }
  FChunkLength = Got;
  FChunkPosition = 0;
  return true;
}

std::int64_t TCpmTextReader::Read(void* Buffer, std::int64_t Count) {
  auto* Out = static_cast<std::uint8_t*>(Buffer);
  std::int64_t Done = 0;
  while (Done < Count) {
    if (FLfPending) {
      Out[Done++] = Lf;
      FLfPending = false;
      continue;
    }
    if (FChunkPosition == FChunkLength && !NextChunk()) break;
    const std::uint8_t Byte = FChunk[static_cast<size_t>(FChunkPosition++)];
    if (Byte == Lf && !FAfterCr) {
      Out[Done++] = Cr;
      FLfPending = true;
    } else {
      Out[Done++] = Byte;
    }
    FAfterCr = Byte == Cr;
  }
  FPosition += Done;
  return Done;
}

std::int64_t TCpmTextReader::Write(const void*, std::int64_t) {
  throw EStreamError("A host text file read as CP/M text can not be written.");
}

std::int64_t TCpmTextReader::Seek(std::int64_t Offset, TSeekOrigin Origin) {
  if (Offset != 0 || Origin != TSeekOrigin::Current)
    throw EStreamError("A host text file read as CP/M text is read forward only.");
  return FPosition;
}

std::int64_t TCpmTextReader::TextSize(TStream& Source) {
  const std::int64_t Start = Source.GetPosition();
  TCpmTextReader Text(Source);
  std::vector<std::uint8_t> Buffer(static_cast<size_t>(ChunkSize));
  std::int64_t Size = 0;
  for (std::int64_t Got; (Got = Text.Read(Buffer.data(), ChunkSize)) > 0;) Size += Got;
  Source.SetPosition(Start);
  return Size;
}
