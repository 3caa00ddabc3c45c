// Host text read as CP/M text, for importing a host text file onto a CP/M disk.
#pragma once

#include <cstdint>
#include <vector>

#include "DiskStream.h"

// Reads a host text file as CP/M text. Host text files end their lines with a
// lone LF; CP/M text ends them with CR LF (TYPE and programs that read lines
// look for the CR). An LF with no CR right before it is read as CR LF, as
// cpmtools' text mode writes it. A CR LF pair and every other byte are read as
// they are, also where the CR is the last byte of one chunk taken from the
// source and the LF the first of the next. Reads forward only.
class TCpmTextReader final : public TStream {
 public:
  // Bytes taken from the source at a time.
  static constexpr std::int64_t ChunkSize = 4096;

  // Reads Source from its position on; Source must outlive the reader.
  explicit TCpmTextReader(TStream& Source);

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  // Refused with EStreamError.
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  // Tells the position (an offset of 0 from the current position); any other
  // move is refused with EStreamError.
  std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override;

  // The bytes Source gives as CP/M text from its position to its end; Source is
  // put back where it was.
  static std::int64_t TextSize(TStream& Source);

 private:
  // Takes the next chunk from the source; false at its end.
  bool NextChunk();

  TStream& FSource;
  std::vector<std::uint8_t> FChunk;
  std::int64_t FChunkLength = 0;
  std::int64_t FChunkPosition = 0;
  bool FSourceEnded = false;
  bool FAfterCr = false;   // the byte taken from the source last was a CR
  bool FLfPending = false; // a CR was added for an LF that is still to be read
  std::int64_t FPosition = 0;
};
