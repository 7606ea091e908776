// Runs every script of examples/ on the sample bitmaps that the project draws, and checks each
// output by properties worked out from the script alone: which tiles take which stamp, what an
// operator does to each byte, and that nothing else in the file moves. What README.md, the user
// guide and the manual page show of them is checked in docs_e2e_test.cpp.
#include "bitmap/png_codec.h"
#include "tests/support/merge_model.h"
#include "tests/support/run_tool.h"
#include "tests/support/scoped_temp_dir.h"
#include "tests/support/shown_in_docs.h"
#include "tests/support/tool_test.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <vector>

#ifndef TILEGRAFT_SAMPLES_BINARY
#error "TILEGRAFT_SAMPLES_BINARY must name the program that draws the sample bitmaps"
#endif

extern char** environ;

namespace tilegraft::testing {
namespace {

const std::filesystem::path sourceDir = sourceFolder();
const std::filesystem::path examplesDir = sourceDir / "examples";

// The samples' grid: tiles of 16 by 16 pixels, each after a 1-pixel grid line.
constexpr std::int32_t tileSize = 16;
constexpr std::int32_t cellSize = tileSize + 1;
constexpr std::uint8_t darkBit = 0x10;

// Where a pixel lies on the samples' grid: tile (column, row) and the position (u, v) inside it;
// nothing for a pixel of a grid line.
struct TileSpot {
  std::int32_t column;
  std::int32_t row;
  std::int32_t u;
  std::int32_t v;
};

std::optional<TileSpot> tileOf(std::int32_t x, std::int32_t y) {
  if (x % cellSize == 0 || y % cellSize == 0) {
    return std::nullopt;
  }
  return TileSpot{x / cellSize, y / cellSize, x % cellSize - 1, y % cellSize - 1};
}

// gutters.bmp: tiles of 16 by 16 pixels with a 1-pixel margin and 2 pixels between tiles, so
// every 18 by 18 cell is a tile with a 1-pixel gutter on each side.
constexpr std::int32_t gutterPitch = tileSize + 2;

// The cell of gutters.bmp that a pixel lies in, and the position inside the tile of the tile
// pixel nearest to it: itself inside the tile, the edge pixel beside it in a gutter.
TileSpot nearestTilePixel(std::int32_t x, std::int32_t y) {
  auto inside = [](std::int32_t offset) { return std::clamp(offset % gutterPitch - 1, 0, 15); };
  return TileSpot{x / gutterPitch, y / gutterPitch, inside(x), inside(y)};
}

// Pixel (u, v) of tile (column, row) of a picture on the samples' grid.
Bytes tilePixel(const ModelBitmap& picture, std::int32_t column, std::int32_t row, std::int32_t u,
                std::int32_t v) {
  return picture.pixel(1 + column * cellSize + u, 1 + row * cellSize + v);
}

Bytes combine(Bytes to, const Bytes& from, char op) {
  for (std::size_t i = 0; i < to.size(); ++i) {
    switch (op) {
    case '=':
      to[i] = from[i];
      break;
    case '&':
      to[i] = static_cast<std::uint8_t>(to[i] & from[i]);
      break;
    case '|':
      to[i] = static_cast<std::uint8_t>(to[i] | from[i]);
      break;
    default:
      to[i] = static_cast<std::uint8_t>(to[i] ^ from[i]);
      break;
    }
  }
  return to;
}

// The expected pixel at (x, y), given the input's pixel there.
using PixelRule = std::function<Bytes(std::int32_t x, std::int32_t y, const Bytes& before)>;

// The output must be the input with each pixel replaced by what the rule says: headers, palette,
// row padding and every byte after the pixels stay as they were.
void expectPixels(const ModelBitmap& input, const std::filesystem::path& outputPath,
                  const PixelRule& rule) {
  Bytes expected = input.file;
  for (std::int32_t y = 0; y < input.height; ++y) {
    for (std::int32_t x = 0; x < input.width; ++x) {
      const Bytes after = rule(x, y, input.pixel(x, y));
      std::copy(after.begin(), after.end(),
                expected.begin() + static_cast<std::ptrdiff_t>(input.pixelAt(x, y)));
    }
  }
  const Bytes actual = readFileBytes(outputPath);
  ASSERT_EQ(actual.size(), expected.size()) << outputPath;
  const auto [first, unused] = std::mismatch(expected.begin(), expected.end(), actual.begin());
  EXPECT_TRUE(first == expected.end()) << outputPath << ": first wrong byte at offset "
                                       << (first - expected.begin()) << " of " << expected.size();
}

// What a script prints on standard output, worked out from its lines: the progress lines of
// load, new and save, the text of echo, and the start and end lines.
std::string expectedOutput(const std::string& scriptName, const std::string& script) {
  std::string out = "Reading patch script: " + scriptName + "...\n";
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("echo ", 0) == 0) {
      out += line.substr(5) + "\n";
    } else if (line.rfind("load ", 0) == 0) {
      const std::size_t name = line.find(' ', 5);
      out += "Loading " + line.substr(5, name - 5) + " bitmap: " + line.substr(name + 1) + "...\n";
    } else if (line.rfind("new ", 0) == 0) {
      std::istringstream words(line.substr(4));
      std::string slot;
      std::string width;
      std::string height;
      words >> slot >> width >> height;
      out += "Making " + slot + " bitmap: " + width + " by " + height + " pixels...\n";
    } else if (line.rfind("save ", 0) == 0) {
      out += "Saving output bitmap: " + line.substr(5) + "...\n";
    }
  }
  return out + "Done.\n";
}

class ExamplesTest : public ToolTest {
protected:
  void SetUp() override { drawSamples(); }

  // Runs the sample drawing program in the temp directory.
  void drawSamples() {
    const std::string program = TILEGRAFT_SAMPLES_BINARY;
    const std::string folder = dir.path().string();
    std::vector<char*> argv{const_cast<char*>(program.c_str()), const_cast<char*>(folder.c_str()),
                            nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }

  // Copies the example into the temp directory and runs it there; it must end well, with
  // nothing on standard error and the progress lines its commands call for. An example meant to
  // be clean is checked first, and must draw no warning.
  void runExample(const std::string& name, bool meantToWarn = false) {
    const std::string script = readTextFile(examplesDir / name);
    writeTextFile(dir.file(name), script);
    if (!meantToWarn) {
      const ToolRun checked = runTool(dir.path(), {"--check", name});
      EXPECT_EQ(checked.exitStatus, 0);
      EXPECT_EQ(checked.standardError, "");
    }
    const ToolRun result = runTool(dir.path(), {name});
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.standardOutput, expectedOutput(name, script));
  }

  ModelBitmap sample(const char* name) const {
    return ModelBitmap(name, readFileBytes(dir.file(name)));
  }
  std::filesystem::path output(const char* name) const { return dir.file(name); }
};

TEST_F(ExamplesTest, SamplesAreOnTheGridTheScriptsAssume) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  const ModelBitmap indexed = sample("indexed.bmp");
  const ModelBitmap masks = sample("masks.bmp");
  EXPECT_EQ(sheet.width, 8 * cellSize + 1);
  EXPECT_EQ(sheet.height, 4 * cellSize + 1);
  EXPECT_EQ(stamps.width, 4 * cellSize + 1);
  EXPECT_EQ(stamps.height, cellSize + 1);
  EXPECT_EQ(indexed.width, 4 * cellSize + 1);
  EXPECT_EQ(indexed.height, 2 * cellSize + 1);
  EXPECT_EQ(sheet.bytesPerPixel, 3);
  EXPECT_EQ(stamps.bytesPerPixel, 3);
  EXPECT_EQ(indexed.bytesPerPixel, 1);
  EXPECT_EQ(masks.bytesPerPixel, 1);
  const ModelBitmap gutters = sample("gutters.bmp");
  EXPECT_EQ(gutters.width, 4 * gutterPitch);
  EXPECT_EQ(gutters.height, 2 * gutterPitch);
  EXPECT_EQ(gutters.bytesPerPixel, 3);
  // Neighbouring pixels of a gutters.bmp tile differ, and differ from the gutter, so that
  // extrude.tgs is seen to copy the right one.
  EXPECT_NE(gutters.pixel(1, 1), gutters.pixel(2, 1));
  EXPECT_NE(gutters.pixel(1, 1), gutters.pixel(1, 2));
  EXPECT_NE(gutters.pixel(1, 1), gutters.pixel(1 + gutterPitch, 1));
  EXPECT_NE(gutters.pixel(0, 0), gutters.pixel(1, 1));
  // The mask tiles hold what mask.tgs says, and indexed.bmp has light and dark tiles in both
  // rows, so that both & and | change something.
  EXPECT_EQ(tilePixel(masks, 0, 0, 0, 0), Bytes{0xEF});
  EXPECT_EQ(tilePixel(masks, 0, 0, 15, 15), Bytes{0xEF});
  EXPECT_EQ(tilePixel(masks, 1, 0, 7, 3), Bytes{darkBit});
  for (std::int32_t row = 0; row < 2; ++row) {
    std::set<bool> darkness;
    for (std::int32_t column = 0; column < 4; ++column) {
      darkness.insert((tilePixel(indexed, column, row, 5, 5)[0] & darkBit) != 0);
    }
    EXPECT_EQ(darkness.size(), 2U) << "row " << row;
  }
}

TEST_F(ExamplesTest, GraftCopiesStampsOntoTheirTilesAndNothingElse) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  runExample("graft.tgs");
  expectPixels(sheet, output("grafted.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    if (spot && spot->row == 1 && spot->column >= 2 && spot->column <= 5) {
      return tilePixel(stamps, spot->column - 2, 0, spot->u, spot->v);
    }
    if (spot && spot->column == 7 && spot->row == 3) {
      return tilePixel(stamps, 1, 0, spot->u, spot->v);
    }
    if (x >= 1 && x < 1 + tileSize && y >= 1 && y < 1 + tileSize / 2) {
      return stamps.pixel(x, y);
    }
    return b;
  });
}

TEST_F(ExamplesTest, RepeatRowFillsOneRowWithTheStamp) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  runExample("repeat-row.tgs");
  expectPixels(sheet, output("row.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    return spot && spot->row == 2 ? tilePixel(stamps, 0, 0, spot->u, spot->v) : b;
  });
}

TEST_F(ExamplesTest, RepeatGridCoversEveryTileAndKeepsTheGridLines) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  runExample("repeat-grid.tgs");
  expectPixels(sheet, output("grid.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    return spot ? tilePixel(stamps, spot->column % 2, 0, spot->u, spot->v) : b;
  });
}

TEST_F(ExamplesTest, MaskClearsTheDarkBitInRowZeroAndSetsItInRowOne) {
  const ModelBitmap indexed = sample("indexed.bmp");
  runExample("mask.tgs");
  // The whole-file comparison also holds the palette to its input bytes.
  expectPixels(indexed, output("masked.bmp"), [](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    if (!spot) {
      return b;
    }
    return Bytes{static_cast<std::uint8_t>(spot->row == 0 ? b[0] & ~darkBit : b[0] | darkBit)};
  });
  const ModelBitmap masked("masked.bmp", readFileBytes(output("masked.bmp")));
  for (std::int32_t y = 0; y < masked.height; ++y) {
    for (std::int32_t x = 0; x < masked.width; ++x) {
      if (const auto spot = tileOf(x, y)) {
        const std::uint8_t index = masked.pixel(x, y)[0];
        EXPECT_EQ((index & darkBit) != 0, spot->row == 1) << x << ", " << y;
        EXPECT_EQ(index & 0x0F, indexed.pixel(x, y)[0] & 0x0F) << x << ", " << y;
      }
    }
  }
}

TEST_F(ExamplesTest, BankPutsTopHalvesInTheLightBankAndBottomHalvesInTheDark) {
  const ModelBitmap indexed = sample("indexed.bmp");
  runExample("bank.tgs");
  expectPixels(indexed, output("banked.bmp"), [](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    if (!spot) {
      return b;
    }
    return Bytes{
        static_cast<std::uint8_t>(spot->v < tileSize / 2 ? b[0] & ~darkBit : b[0] | darkBit)};
  });
}

TEST_F(ExamplesTest, SwapRowsExchangesRowsZeroAndOne) {
  const ModelBitmap sheet = sample("sheet.bmp");
  runExample("swap-rows.tgs");
  expectPixels(sheet, output("swapped.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    return spot && spot->row < 2 ? tilePixel(sheet, spot->column, 1 - spot->row, spot->u, spot->v)
                                 : b;
  });
}

TEST_F(ExamplesTest, RelayPutsTheSheetsTilesBetweenTheNewGutters) {
  const ModelBitmap gutters = sample("gutters.bmp");
  const ModelBitmap sheet = sample("sheet.bmp");
  runExample("relay.tgs");
  expectPixels(gutters, output("relaid.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
    const std::int32_t u = x % gutterPitch - 1;
    const std::int32_t v = y % gutterPitch - 1;
    const bool inTile = u >= 0 && u < tileSize && v >= 0 && v < tileSize;
    return inTile ? tilePixel(sheet, x / gutterPitch, y / gutterPitch, u, v) : b;
  });
}

TEST_F(ExamplesTest, ExtrudeFillsEachGutterPixelWithTheNearestTilePixel) {
  const ModelBitmap gutters = sample("gutters.bmp");
  runExample("extrude.tgs");
  expectPixels(gutters, output("extruded.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes&) {
    const TileSpot nearest = nearestTilePixel(x, y);
    return gutters.pixel(1 + nearest.column * gutterPitch + nearest.u,
                         1 + nearest.row * gutterPitch + nearest.v);
  });
}

TEST_F(ExamplesTest, ToggleTwiceGivesBackTheInputByteForByte) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  runExample("toggle.tgs");
  EXPECT_EQ(readFileBytes(output("toggled-twice.bmp")), sheet.file);
  EXPECT_NE(readFileBytes(output("toggled-once.bmp")), sheet.file);
  expectPixels(
      sheet, output("toggled-once.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
        const auto spot = tileOf(x, y);
        if (spot && spot->column >= 2 && spot->column <= 4 && spot->row >= 1 && spot->row <= 2) {
          return combine(b, tilePixel(stamps, 2, 0, spot->u, spot->v), '^');
        }
        return b;
      });
}

TEST_F(ExamplesTest, DemoGraftsRepeatsTogglesAndMasks) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  runExample("demo.tgs");
  expectPixels(sheet, output("demo-out.bmp"), [&](std::int32_t x, std::int32_t y, Bytes b) {
    const auto spot = tileOf(x, y);
    if (!spot) {
      return b;
    }
    auto stamp = [&](std::int32_t column) {
      return tilePixel(stamps, column, 0, spot->u, spot->v);
    };
    if (spot->column == 1 && spot->row == 0) {
      b = stamp(0);
    }
    if (spot->column >= 2 && spot->row == 1) {
      b = stamp(1);
    }
    if (spot->row >= 2) {
      b = combine(b, stamp(2), '^');
    }
    if (spot->column == 0 && spot->row == 3) {
      b = combine(b, stamp(3), '&');
    }
    return b;
  });
}

TEST_F(ExamplesTest, TypoRunsAsTheOneNumberAndCheckSaysSo) {
  const ModelBitmap sheet = sample("sheet.bmp");
  const ModelBitmap stamps = sample("stamps.bmp");
  runExample("typo.tgs", true);
  expectPixels(sheet, output("typo.bmp"), [&](std::int32_t x, std::int32_t y, const Bytes& b) {
    const auto spot = tileOf(x, y);
    return spot && spot->column == 2 && spot->row == 0 ? tilePixel(stamps, 2, 0, spot->u, spot->v)
                                                       : b;
  });
  std::filesystem::remove(output("typo.bmp"));
  RunOptions options;
  options.errorIntoOutput = true;
  const ToolRun checked = runTool(dir.path(), {"--check", "typo.tgs"}, options);
  EXPECT_EQ(checked.exitStatus, 0);
  EXPECT_FALSE(std::filesystem::exists(output("typo.bmp")));
  for (const auto& [document, close, roff] :
       {std::tuple{sourceDir / "docs" / "guide.md", std::string("```"), false},
        std::tuple{sourceDir / "docs" / "tilegraft.1", std::string(".EE"), true}}) {
    EXPECT_EQ(shownCheckOutput(document, close, roff), checked.standardOutput) << document;
  }
}

// The shell blocks of a section of the user guide.
std::vector<std::string> guideShellBlocks(const std::string& section) {
  std::vector<std::string> blocks;
  std::istringstream in(readTextFile(sourceDir / "docs" / "guide.md"));
  bool inSection = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) {
      inSection = line == "## " + section;
    } else if (inSection && line == "```sh") {
      std::string block;
      for (std::string inner; std::getline(in, inner) && inner != "```";) {
        block += inner + "\n";
      }
      blocks.push_back(block);
    }
  }
  return blocks;
}

// A pixel's colour, blue, green and red, through the colour table of an 8-bit bitmap.
Bytes colourAt(const ModelBitmap& picture, std::int32_t x, std::int32_t y) {
  const Bytes pixel = picture.pixel(x, y);
  if (picture.bytesPerPixel == 3) {
    return pixel;
  }
  std::size_t entry = 14 + 4 * std::size_t{pixel[0]};
  for (std::size_t i = 0; i < 4; ++i) {
    entry += std::size_t{picture.file[14 + i]} << (8 * i);
  }
  return Bytes(picture.file.begin() + static_cast<std::ptrdiff_t>(entry),
               picture.file.begin() + static_cast<std::ptrdiff_t>(entry + 3));
}

// One conversion that the user guide's "Preparing bitmaps" shows: the block that holds the marker.
struct Conversion {
  std::string marker;
  const char* sample;  // what tiles.png shows
  const char* palette; // what palette.png shows
  std::int32_t bytesPerPixel;
};

// The shapes of real sheets that the conversions must take whatever their number of colours,
// each an 8-bit sample whose pixels use its first colours and a one-row swatch of those colours,
// NAME.bmp and NAME-palette.bmp: a 2-colour mask, a 16-colour font strip with a shade one step
// from black, 17 colours, and a grey ramp of 256, its colours one step apart.
void drawPaletteSamples(const ScopedTempDir& samples) {
  struct Sample {
    const char* name;
    std::vector<Bytes> colours; // red, green, blue
    std::int32_t width;
    std::int32_t height;
    std::function<std::size_t(std::int32_t x, std::int32_t y)> index;
  };
  std::vector<Bytes> font{{0, 0, 0}, {1, 1, 1}};
  for (std::uint8_t level = 34; level < 255; level += 17) {
    font.push_back({level, level, level});
  }
  font.push_back({255, 255, 255});
  std::vector<Bytes> seventeen = font;
  seventeen.push_back({200, 40, 40});
  std::vector<Bytes> ramp;
  for (int level = 0; level < 256; ++level) {
    ramp.push_back(Bytes(3, static_cast<std::uint8_t>(level)));
  }
  const auto at = [](std::int32_t value) { return static_cast<std::size_t>(value); };
  const std::vector<Sample> shapes{
      {"mask",
       {{0, 0, 0}, {255, 255, 255}},
       64,
       32,
       [&](std::int32_t x, std::int32_t y) { return at(x / 4 + y / 4) % 2; }},
      {"font16", font, 768, 8,
       [&](std::int32_t x, std::int32_t y) { return at(x * 3 + y * 5 + x / 8) % 16; }},
      {"colours17", seventeen, 40, 40,
       [&](std::int32_t x, std::int32_t y) { return at(x + y) % 17; }},
      {"ramp256", ramp, 64, 64,
       [&](std::int32_t x, std::int32_t y) { return at(x + 64 * (y % 4)); }}};
  constexpr std::size_t colourTable = 54;
  for (const Sample& shape : shapes) {
    BmpBuilder sheet(shape.width, shape.height, 8);
    BmpBuilder swatch(static_cast<std::int32_t>(shape.colours.size()), 1, 24);
    for (std::size_t i = 0; i < shape.colours.size(); ++i) {
      for (std::size_t channel = 0; channel < 3; ++channel) {
        sheet.setByte(colourTable + 4 * i + channel, shape.colours[i][2 - channel]);
        swatch.setByte(swatch.pixelIndex(static_cast<std::int32_t>(i), 0) + channel,
                       shape.colours[i][2 - channel]);
      }
    }
    for (std::int32_t y = 0; y < shape.height; ++y) {
      for (std::int32_t x = 0; x < shape.width; ++x) {
        sheet.setByte(sheet.pixelIndex(x, y), static_cast<std::uint8_t>(shape.index(x, y)));
      }
    }
    sheet.writeTo(samples.file(std::string(shape.name) + ".bmp"));
    swatch.writeTo(samples.file(std::string(shape.name) + "-palette.bmp"));
  }
}

// Runs the converter's blocks as a user would: tiles.png and palette.png made from the samples,
// the lines up to the first that names out.bmp, a run of the tool that loads tiles.bmp and saves
// it as out.bmp, then the rest. The converted bitmap must show the sample's colours and be
// what the tool takes, and out.png must show them again.
void runConversions(const ScopedTempDir& samples, const std::string& converter,
                    const std::string& probe, const std::vector<Conversion>& conversions) {
  RunOptions shell;
  shell.throughShell = true;
  // A missing converter gives status 1 here, not the 127 that reads as a tool that cannot start.
  // The probe names the python3 to use: the first on the path that has what the commands need.
  const ToolRun probed = runTool(samples.path(), {probe}, shell);
  if (probed.exitStatus != 0) {
    GTEST_SKIP() << converter
                 << " or python3 is not installed: its commands of the user guide were "
                 << "not run";
  }
  const std::string python = probed.standardOutput.substr(0, probed.standardOutput.find('\n'));
  const std::string withPython =
      "python3() { '" + python + "' \"$@\"; }\ntilegraft() { \"$TILEGRAFT\" \"$@\"; }\n";
  const std::vector<std::string> blocks = guideShellBlocks("Preparing bitmaps");
  const std::string toPng =
      "python3 " + (sourceDir / "docs" / "bmp_to_png.py").string() + " --scale 1 ";
  for (const Conversion& conversion : conversions) {
    SCOPED_TRACE(conversion.marker);
    const auto found = std::find_if(blocks.begin(), blocks.end(), [&](const std::string& block) {
      return block.find(conversion.marker) != std::string::npos;
    });
    ASSERT_NE(found, blocks.end()) << "the user guide shows no such command";
    const ScopedTempDir folder;
    const ToolRun made =
        runTool(folder.path(),
                {withPython + toPng + samples.file(conversion.sample).string() + " tiles.png && " +
                 toPng + samples.file(conversion.palette).string() + " palette.png"},
                shell);
    ASSERT_EQ(made.exitStatus, 0) << made.standardError;
    const std::size_t back = found->find("out.bmp");
    const std::size_t split = found->rfind('\n', back) + 1;
    const ToolRun to =
        runTool(folder.path(), {withPython + "set -e\n" + found->substr(0, split)}, shell);
    ASSERT_EQ(to.exitStatus, 0) << to.standardError;
    const ToolRun saved = runScript(folder.path(), "load base tiles.bmp\nsave out.bmp\n");
    EXPECT_EQ(saved.exitStatus, 0) << saved.standardError;
    const ToolRun from =
        runTool(folder.path(), {withPython + "set -e\n" + found->substr(split)}, shell);
    EXPECT_EQ(from.exitStatus, 0) << from.standardError;

    const ModelBitmap sample(conversion.sample, readFileBytes(samples.file(conversion.sample)));
    const ModelBitmap converted("tiles.bmp", readFileBytes(folder.file("tiles.bmp")));
    ASSERT_EQ(converted.width, sample.width);
    ASSERT_EQ(converted.height, sample.height);
    EXPECT_EQ(converted.bytesPerPixel, conversion.bytesPerPixel);
    for (std::int32_t y = 0; y < sample.height; ++y) {
      for (std::int32_t x = 0; x < sample.width; ++x) {
        ASSERT_EQ(colourAt(converted, x, y), colourAt(sample, x, y)) << x << ", " << y;
      }
    }
    // A PNG of the sample's size: its signature, then the header chunk's width and height.
    const Bytes png = readFileBytes(folder.file("out.png"));
    ASSERT_GE(png.size(), 24U);
    EXPECT_EQ(Bytes(png.begin(), png.begin() + 8),
              (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    Bytes size;
    for (const std::int32_t length : {sample.width, sample.height}) {
      for (int shift = 24; shift >= 0; shift -= 8) {
        size.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> shift));
      }
    }
    EXPECT_EQ(Bytes(png.begin() + 16, png.begin() + 24), size);
    // And it shows the same colours, read back by a reader of our own.
    const ToolRun shown =
        runTool(folder.path(), {withPython + toPng + "--check tiles.bmp out.png"}, shell);
    EXPECT_EQ(shown.exitStatus, 0) << shown.standardError;
  }
}

// The rows of one converter: its 24-bit block on every sample (the samples go in as RGB PNGs).
std::vector<Conversion> conversionRows(const std::string& trueColour) {
  struct Sample {
    const char* sample;
    const char* palette;
  };
  const std::vector<Sample> samples{{"indexed.bmp", "palette.bmp"},
                                    {"mask.bmp", "mask-palette.bmp"},
                                    {"font16.bmp", "font16-palette.bmp"},
                                    {"colours17.bmp", "colours17-palette.bmp"},
                                    {"ramp256.bmp", "ramp256-palette.bmp"}};
  std::vector<Conversion> rows{{trueColour, "sheet.bmp", "palette.bmp", 3}};
  for (const Sample& row : samples) {
    rows.push_back({trueColour, row.sample, row.palette, 3});
  }
  return rows;
}

TEST_F(ExamplesTest, GuideImageMagickCommandsMakeBitmapsTheToolTakes) {
  drawPaletteSamples(dir);
  runConversions(dir, "ImageMagick",
                 "command -v convert > /dev/null && convert -version | grep -q ImageMagick && "
                 "command -v python3",
                 conversionRows("-type TrueColor"));
}

TEST_F(ExamplesTest, GuidePillowCommandsMakeBitmapsTheToolTakes) {
  drawPaletteSamples(dir);
  runConversions(
      dir, "Pillow",
      "for p in $(which -a python3); do \"$p\" -c 'import PIL' 2> /dev/null && echo \"$p\" && "
      "exit 0; done; exit 1",
      conversionRows(".convert(\"RGB\").save"));
}

TEST_F(ExamplesTest, GuideTilegraftCommandsConvertBothWays) {
  if (!pngSupported()) {
    GTEST_SKIP() << "built without libspng";
  }
  drawPaletteSamples(dir);
  runConversions(dir, "tilegraft", "command -v python3", conversionRows("| tilegraft -y -"));
}

// Every block of the section is run above: by one of these markers.
TEST(DocumentsTest, EveryConversionOfTheGuideIsRun) {
  const std::vector<std::string> markers{"| tilegraft -y -", "-type TrueColor",
                                         ".convert(\"RGB\").save"};
  const std::vector<std::string> blocks = guideShellBlocks("Preparing bitmaps");
  EXPECT_EQ(blocks.size(), markers.size());
  for (const std::string& block : blocks) {
    EXPECT_EQ(std::count_if(markers.begin(), markers.end(),
                            [&](const std::string& marker) {
                              return block.find(marker) != std::string::npos;
                            }),
              1)
        << block;
  }
}

} // namespace
} // namespace tilegraft::testing
