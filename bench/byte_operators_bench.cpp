// Throughput of the byte operators against memcpy, and the cost of a large pixel merge and of
// many small tile merges on real file images.

#include "bitmap/bitmap_image.h"
#include "bitmap/byte_operators.h"
#include "bitmap/tile_layout.h"
#include "tests/support/bmp_builder.h"

#include <benchmark/benchmark.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace {

using tilegraft::BitmapImage;
using tilegraft::ByteOperator;
using tilegraft::MergeOperator;

// A pair of bitmaps written to a private temporary folder and loaded, removed again at exit.
class LoadedPair {
public:
  LoadedPair(std::int32_t width, std::int32_t height, int bitsPerPixel)
      : folder(std::filesystem::temp_directory_path() /
               ("tilegraft_bench_" + std::to_string(width) + "_" + std::to_string(bitsPerPixel) +
                "_" + std::to_string(std::random_device{}()))) {
    std::filesystem::create_directory(folder);
    tilegraft::testing::BmpBuilder(width, height, bitsPerPixel)
        .fillPattern(1)
        .writeTo(folder / "base.bmp");
    tilegraft::testing::BmpBuilder(width, height, bitsPerPixel)
        .fillPattern(2)
        .writeTo(folder / "patch.bmp");
    base.load((folder / "base.bmp").string());
    patch.load((folder / "patch.bmp").string());
  }
  LoadedPair(const LoadedPair&) = delete;
  LoadedPair& operator=(const LoadedPair&) = delete;
  ~LoadedPair() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::filesystem::path folder;
  BitmapImage base{"Base bitmap"};
  BitmapImage patch{"Patch bitmap"};
};

void operatorThroughput(benchmark::State& state, ByteOperator combine) {
  const auto size = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> destination(size, 0x5A);
  std::vector<std::uint8_t> source(size, 0xC3);
  for (auto _ : state) {
    combine(destination.data(), source.data(), size);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}

void operatorSizes(benchmark::internal::Benchmark* benchmark) {
  benchmark->Arg(64)->Arg(4 << 10)->Arg(1 << 20)->Arg(64 << 20);
}

BENCHMARK_CAPTURE(operatorThroughput, copyBytes, tilegraft::copyBytes)->Apply(operatorSizes);
BENCHMARK_CAPTURE(operatorThroughput, andBytes, tilegraft::andBytes)->Apply(operatorSizes);
BENCHMARK_CAPTURE(operatorThroughput, orBytes, tilegraft::orBytes)->Apply(operatorSizes);
BENCHMARK_CAPTURE(operatorThroughput, xorBytes, tilegraft::xorBytes)->Apply(operatorSizes);

constexpr std::int32_t largeSide = 4096;

// One block covering two whole 4096 x 4096 24-bit images.
void pixelMergeWholeImage(benchmark::State& state) {
  static LoadedPair pair(largeSide, largeSide, 24);
  const auto op = static_cast<MergeOperator>(state.range(0));
  for (auto _ : state) {
    pair.base.mergePixels(op, 0, 0, pair.patch, 0, 0, largeSide, largeSide);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t{largeSide} * largeSide * 3);
}
BENCHMARK(pixelMergeWholeImage)->ArgName("operator")->Arg(0)->Arg(3)->Unit(benchmark::kMillisecond);

// Every tile of a 2048 x 2048 8-bit image whose tiles have a one-pixel border after them, so no
// two tiles touch and each is its own block. Arguments: tile side, operator index.
void tileMergeBordered(benchmark::State& state) {
  static LoadedPair pair(2048, 2048, 8);
  const auto tileSide = static_cast<std::int32_t>(state.range(0));
  const auto op = static_cast<MergeOperator>(state.range(1));
  tilegraft::TileLayout layout;
  layout.tileWidth = tileSide;
  layout.tileHeight = tileSide;
  layout.xBorderAfter = 1;
  layout.yBorderAfter = 1;
  pair.base.setTileLayout(layout);
  pair.patch.setTileLayout(layout);
  const std::int32_t perSide = 2048 / (tileSide + 1);
  for (auto _ : state) {
    pair.base.mergeTiles(op, 0, 0, pair.patch, 0, 0, perSide, perSide);
    benchmark::ClobberMemory();
  }
  const std::int64_t tiles = std::int64_t{perSide} * perSide;
  state.counters["per_tile"] =
      benchmark::Counter(static_cast<double>(tiles), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(tileMergeBordered)
    ->ArgNames({"side", "operator"})
    ->Args({1, 0})
    ->Args({1, 3})
    ->Args({8, 0})
    ->Args({8, 3})
    ->Unit(benchmark::kMicrosecond);

// A base of random pixels and a patch of sprites, loaded from files as the tool loads them: a
// third of the patch's pixels hold its key colour (255, 0, 255, 255 or its first byte), in runs,
// as the background of sprites does.
class SpritePair {
public:
  static constexpr std::uint8_t key[4] = {255, 0, 255, 255};

  SpritePair(std::int32_t baseSide, std::int32_t patchSide, int bitsPerPixel)
      : folder(std::filesystem::temp_directory_path() /
               ("tilegraft_bench_sprites_" + std::to_string(bitsPerPixel) + "_" +
                std::to_string(std::random_device{}()))) {
    std::filesystem::create_directory(folder);
    tilegraft::testing::BmpBuilder(baseSide, baseSide, bitsPerPixel)
        .fillPattern(1)
        .writeTo(folder / "base.bmp");
    tilegraft::testing::BmpBuilder sprites(patchSide, patchSide, bitsPerPixel);
    sprites.fillPattern(2);
    const auto pixelBytes = static_cast<std::size_t>(bitsPerPixel / 8);
    for (std::int32_t y = 0; y < patchSide; ++y) {
      for (std::int32_t x = 0; x < patchSide; ++x) {
        if ((x / 16 + y / 16) % 3 == 0) {
          for (std::size_t b = 0; b < pixelBytes; ++b) {
            sprites.setByte(sprites.pixelIndex(x, y) + b, key[b]);
          }
        }
      }
    }
    sprites.writeTo(folder / "patch.bmp");
    base.load((folder / "base.bmp").string());
    patch.load((folder / "patch.bmp").string());
    patch.setKeyColour(std::vector<std::int32_t>(key, key + pixelBytes));
  }
  SpritePair(const SpritePair&) = delete;
  SpritePair& operator=(const SpritePair&) = delete;
  ~SpritePair() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  std::filesystem::path folder;
  BitmapImage base{"Base bitmap"};
  BitmapImage patch{"Patch bitmap"};
};

// The 8k scenario's bitmaps: an 8192 x 8192 24-bit base and a 4096 x 4096 patch.
SpritePair& eightK() {
  static SpritePair pair(8192, largeSide, 24);
  return pair;
}

// Every tile of the base as a sheet of 32 x 32 tiles with 2-pixel borders, extruded by 2: each
// tile's cell of 36 x 36 pixels filled around it.
constexpr std::int32_t extrudedTiles = 8192 / 36;
constexpr std::int64_t extrudedPixels =
    std::int64_t{extrudedTiles} * extrudedTiles * (36 * 36 - 32 * 32);

void extrudeEveryTile8k(benchmark::State& state) {
  SpritePair& pair = eightK();
  pair.base.setTileLayout({0, 2, 32, 2, 0, 2, 32, 2});
  for (auto _ : state) {
    pair.base.extrudeTiles(2);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * extrudedPixels * 3);
}
BENCHMARK(extrudeEveryTile8k)->Unit(benchmark::kMillisecond);

// The copy that extrusion is measured against: a block of the patch, 4096 pixels wide and as
// high as makes the extrusion's bytes, copied into the base.
void copySameBytesAsExtrusion8k(benchmark::State& state) {
  SpritePair& pair = eightK();
  const auto rows = static_cast<std::int32_t>(extrudedPixels / largeSide);
  for (auto _ : state) {
    pair.base.mergePixels(MergeOperator::copy, 0, 0, pair.patch, 0, 0, largeSide, rows);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t{largeSide} * rows * 3);
}
BENCHMARK(copySameBytesAsExtrusion8k)->Unit(benchmark::kMillisecond);

// Extrusion writes few bytes but touches most of the sheet's cache lines (a gutter every 36
// pixels): the copy of the whole 8192 x 8192 base, the patch repeated 2 by 2, is its floor.
void copyWholeSheet8k(benchmark::State& state) {
  SpritePair& pair = eightK();
  for (auto _ : state) {
    pair.base.mergePixels(MergeOperator::copy, 0, 0, pair.patch, 0, 0, largeSide, largeSide,
                          {2, 2});
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t{2 * largeSide} * 2 * largeSide * 3);
}
BENCHMARK(copyWholeSheet8k)->Unit(benchmark::kMillisecond);

// A 4096 x 4096 block of the patch into the base, copied (operator 0) or keyed (operator 4).
void keyedCopy8k(benchmark::State& state) {
  SpritePair& pair = eightK();
  const auto op = static_cast<MergeOperator>(state.range(0));
  for (auto _ : state) {
    pair.base.mergePixels(op, 2048, 2048, pair.patch, 0, 0, largeSide, largeSide);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t{largeSide} * largeSide * 3);
}
BENCHMARK(keyedCopy8k)->ArgName("operator")->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond);

// The same at the other pixel sizes: a 4096 x 4096 patch into a base of 4096 x 4096, whole.
// Arguments: bits per pixel, operator index.
void keyedCopyOtherDepths(benchmark::State& state) {
  static SpritePair bytePair(largeSide, largeSide, 8);
  static SpritePair wordPair(largeSide, largeSide, 32);
  const int bitsPerPixel = static_cast<int>(state.range(0));
  SpritePair& pair = bitsPerPixel == 8 ? bytePair : wordPair;
  const auto op = static_cast<MergeOperator>(state.range(1));
  for (auto _ : state) {
    pair.base.mergePixels(op, 0, 0, pair.patch, 0, 0, largeSide, largeSide);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t{largeSide} * largeSide * bitsPerPixel /
                          8);
}
BENCHMARK(keyedCopyOtherDepths)
    ->ArgNames({"bits", "operator"})
    ->Args({8, 0})
    ->Args({8, 4})
    ->Args({32, 0})
    ->Args({32, 4})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
