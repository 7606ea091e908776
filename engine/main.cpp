#include "engine/patch_script.h"

#include <cstdio>
#include <new>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("Syntax:   tilegraft  patchScriptFileName\n", stderr);
    return -1;
  }
  // Memory that runs out outside a bitmap's own allocation (a huge script line, say) ends the
  // run like a script error; the script and the images are released on the way out.
  try {
    tilegraft::PatchScript script;
    return script.run(argv[1]);
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("**** Not enough memory.\n", stderr);
    return 1;
  }
}
