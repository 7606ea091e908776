// Arbitrary bytes as a patch script, run in a private directory that holds two small bitmaps,
// a.bmp and b.bmp. The first byte, b, chooses the run:
// - b % 3 the bitmaps' kinds: an 8-bit and a 24-bit one, two 8-bit ones or two 24-bit ones;
// - bit 0 of b / 3 a check run, bit 1 a check run that draws its plan into plan.bmp;
// - bit 2 of b / 3 a third file, c.bmp: the two bytes after the first give its length (low byte
//   first), and that many bytes are its contents (a crafted bitmap for the script to load).
// The rest is the script. Standard input is at its end, so every overwrite question is answered
// no and only new files can be written; a check run writes nothing but its plan.

#include "bitmap/bitmap_image.h"
#include "common/script_error.h"
#include "engine/patch_script.h"
#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sanitizer/common_interface_defs.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>

namespace {

namespace fuzzing = tilegraft::fuzzing;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

struct Sandbox {
  std::string directory;
  int quietDescriptor = -1;
  int errorDescriptor = -1;
  int kinds = -1;
};

Sandbox& sandbox() {
  static Sandbox state = [] {
    Sandbox made;
    made.directory = fuzzing::makeWorkDirectory();
    if (chdir(made.directory.c_str()) != 0 || !std::freopen("/dev/null", "r", stdin) ||
        !std::freopen("/dev/null", "w", stdout)) {
      finding("cannot set up the fuzzing directory and streams");
    }
    // The tool's error reports are silenced during each run by pointing descriptor 2 elsewhere;
    // sanitizer reports keep a copy of the real one, and between runs the fuzzer's own output
    // goes there as usual.
    made.quietDescriptor = open("/dev/null", O_WRONLY | O_CLOEXEC);
    made.errorDescriptor = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (made.quietDescriptor < 0 || made.errorDescriptor < 0) {
      finding("cannot duplicate standard error");
    }
    __sanitizer_set_report_fd(
        reinterpret_cast<void*>(static_cast<std::intptr_t>(made.errorDescriptor)));
    return made;
  }();
  return state;
}

void placeBitmaps(Sandbox& box, int kinds) {
  if (kinds == box.kinds) {
    return;
  }
  const bool first8 = kinds != 2;
  const bool second8 = kinds == 1;
  fuzzing::writeFile("a.bmp",
                     first8 ? fuzzing::smallBitmap(6, 5, 8, 1) : fuzzing::smallBitmap(4, 3, 24, 1));
  fuzzing::writeFile("b.bmp", second8 ? fuzzing::smallBitmap(3, 4, 8, 2)
                                      : fuzzing::smallBitmap(5, 2, 24, 2));
  box.kinds = kinds;
}

// A single '/' before a line's comment would name a file outside the directory; a save there
// could litter the machine, so such scripts are not run.
bool staysInDirectory(std::string_view script) {
  std::size_t lineStart = 0;
  while (lineStart < script.size()) {
    std::size_t lineEnd = script.find('\n', lineStart);
    if (lineEnd == std::string_view::npos) {
      lineEnd = script.size();
    }
    const std::string_view line = script.substr(lineStart, lineEnd - lineStart);
    const std::size_t comment = line.find("//");
    if (line.substr(0, comment).find('/') != std::string_view::npos) {
      return false;
    }
    lineStart = lineEnd + 1;
  }
  return true;
}

// Files saved by a run are removed, so every input starts from the same directory. Gives how
// many there were, the plan picture not counted.
int removeSavedFiles() {
  int saved = 0;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(".", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name != "a.bmp" && name != "b.bmp" && name != "script.txt") {
      saved += name == "c.bmp" || name == "plan.bmp" ? 0 : 1;
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
  return saved;
}

struct RunChoice {
  bool check = false;
  bool drawPlan = false;
};

// The one place that makes a run through the tool's public interface.
int runScript(RunChoice choice) {
  tilegraft::RunSettings settings;
  settings.check = choice.check;
  if (choice.drawPlan) {
    settings.planName = "plan.bmp";
  }
  tilegraft::PatchScript patchScript(std::move(settings));
  const int result = patchScript.run("script.txt");
  if (patchScript.isOpen() || patchScript.base.image.isLoaded() ||
      patchScript.patch.image.isLoaded()) {
    finding("a run left its script open or a bitmap loaded");
  }
  return result;
}

// A plan picture, when one was written, is a 24-bit bitmap that the tool itself loads.
void checkPlanPicture() {
  std::error_code ignored;
  if (!std::filesystem::exists("plan.bmp", ignored)) {
    return;
  }
  tilegraft::BitmapImage picture("Plan picture");
  try {
    picture.load("plan.bmp");
  } catch (const tilegraft::ScriptError& error) {
    std::fprintf(stderr, "%s\n", error.message().c_str());
    finding("a plan picture does not load");
  }
  if (picture.bytesPerPixelCount() != 3) {
    finding("a plan picture is not a 24-bit bitmap");
  }
}

} // namespace

// A script that may make a canvas of gigabytes only measures the machine's memory: one that
// names new and holds a number above 2048 is left out.
static bool mayMakeHugeCanvas(std::string_view script) {
  bool namesNew = false;
  bool bigNumber = false;
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < script.size(); ++i) {
    const char c = script[i];
    if (c >= '0' && c <= '9') {
      number = std::min<std::uint64_t>(number * 10 + static_cast<std::uint64_t>(c - '0'), 1U << 20);
      bigNumber = bigNumber || number > 2048;
    } else {
      number = 0;
    }
    const auto lower = [&](std::size_t at) {
      return at < script.size() ? static_cast<char>(script[at] | 0x20) : '\0';
    };
    namesNew = namesNew || (lower(i) == 'n' && lower(i + 1) == 'e' && lower(i + 2) == 'w');
  }
  return namesNew && bigNumber;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const unsigned flags = data[0] / 3U;
  const RunChoice choice{(flags & 3U) != 0, (flags & 2U) != 0};
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string_view thirdFile;
  const bool hasThirdFile = (flags & 4U) != 0;
  if (hasThirdFile) {
    if (rest.size() < 2) {
      return -1;
    }
    const std::size_t length = static_cast<std::uint8_t>(rest[0]) |
                               static_cast<std::size_t>(static_cast<std::uint8_t>(rest[1])) << 8U;
    rest.remove_prefix(2);
    if (length > rest.size()) {
      return -1;
    }
    thirdFile = rest.substr(0, length);
    rest.remove_prefix(length);
  }
  const std::string_view script = rest;
  if (!staysInDirectory(script) || mayMakeHugeCanvas(script)) {
    return -1;
  }
  Sandbox& box = sandbox();
  placeBitmaps(box, data[0] % 3);
  fuzzing::writeFile("script.txt", fuzzing::Bytes(script.begin(), script.end()));
  if (hasThirdFile) {
    fuzzing::writeFile("c.bmp", fuzzing::Bytes(thirdFile.begin(), thirdFile.end()));
  }

  // The fuzzer itself opens and closes files between runs, so the baseline is taken afresh.
  const int freeDescriptor = fuzzing::lowestFreeDescriptor();
  std::fflush(stderr);
  dup2(box.quietDescriptor, 2);
  const int result = runScript(choice);
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(box.errorDescriptor, 2);

  if (result != 0 && result != 1) {
    finding("a run returned neither 0 nor 1");
  }
  if (fuzzing::lowestFreeDescriptor() != freeDescriptor) {
    finding("a run left a file open");
  }
  if (choice.drawPlan) {
    checkPlanPicture();
  }
  if (removeSavedFiles() != 0 && choice.check) {
    finding("a check run saved a file");
  }
  return 0;
}
