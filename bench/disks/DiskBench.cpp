// Whole-disk transfers through the controller and the drive, and a directory
// scan of the CP/M file system.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "CpmDiskDrive.h"
#include "DiskController.h"
#include "DiskDrive.h"

namespace {

// A formatted image in a folder of its own, removed afterwards.
class TBenchImage {
 public:
  TBenchImage() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvel-disks-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    folder_ = pattern;
    TDiskDrive::FormatDriveFile(File());
  }
  ~TBenchImage() {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::filesystem::path File() const { return folder_ / "bench.cpmdsk"; }

 private:
  std::filesystem::path folder_;
};

// 8192 read commands, each programming drive, track, sector and DMA address
// through the ports as a BIOS does.
void BM_ControllerReadsWholeDisk(benchmark::State& state) {
  TBenchImage image;
  std::array<std::uint8_t, 65536> memory{};
  TDiskController controller;
  controller.OnStoreToMemory = [&memory](TDiskController&, std::uint16_t address, std::uint8_t* buffer, int count) {
    for (int i = 0; i < count; ++i) memory[static_cast<std::uint16_t>(address + i)] = buffer[i];
  };
  controller.MountDisk(image.File().string(), 0);
  for (auto _ : state) {
    controller.WritePort(1, 0);
    for (int track = 0; track < 256; ++track) {
      for (int sector = 0; sector < 32; ++sector) {
        controller.WritePort(2, static_cast<std::uint8_t>(sector));
        controller.WritePort(3, 0);
        controller.WritePort(4, static_cast<std::uint8_t>(track));
        controller.WritePort(5, 0);
        controller.WritePort(6, 0x80);
        controller.WritePort(7, 0x00);
        controller.WritePort(0, 2);
        if (controller.ReadPort(0) != 0) state.SkipWithError("read failed");
      }
    }
    benchmark::DoNotOptimize(memory.data());
  }
  state.SetItemsProcessed(state.iterations() * 8192);
  state.SetBytesProcessed(state.iterations() * 8192 * 128);
}
BENCHMARK(BM_ControllerReadsWholeDisk)->Unit(benchmark::kMillisecond);

void BM_ControllerWritesWholeDisk(benchmark::State& state) {
  TBenchImage image;
  TDiskController controller;
  controller.OnFetchFromMemory = [](TDiskController&, std::uint16_t, std::uint8_t* buffer, int count) {
    for (int i = 0; i < count; ++i) buffer[i] = 0xE5;
  };
  controller.MountDisk(image.File().string(), 0);
  for (auto _ : state) {
    for (int record = 0; record < 8192; ++record) {
      controller.WritePort(2, static_cast<std::uint8_t>(record % 32));
      controller.WritePort(4, static_cast<std::uint8_t>(record / 32));
      controller.WritePort(0, 3);
    }
  }
  state.SetItemsProcessed(state.iterations() * 8192);
}
BENCHMARK(BM_ControllerWritesWholeDisk)->Unit(benchmark::kMillisecond);

// 512 block reads, as a remote disk client reading a whole disk.
void BM_DriveReadsWholeDiskByBlock(benchmark::State& state) {
  TBenchImage image;
  TDiskDrive drive(image.File());
  std::array<std::uint8_t, 2048> block{};
  for (auto _ : state) {
    for (int half = 0; half < 512; ++half) drive.ReadBlock(static_cast<std::uint16_t>(half / 2), static_cast<std::uint16_t>(half % 2 * 16), block.data());
    benchmark::DoNotOptimize(block.data());
  }
}
BENCHMARK(BM_DriveReadsWholeDiskByBlock)->Unit(benchmark::kMillisecond);

// Opening a disk and reading its directory, as the disk manager does for
// every operation.
void BM_CpmOpenAndListDirectory(benchmark::State& state) {
  TBenchImage image;
  for (auto _ : state) {
    TCpmDiskDrive cpm(image.File());
    benchmark::DoNotOptimize(cpm.FileList().Count());
  }
}
BENCHMARK(BM_CpmOpenAndListDirectory)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
