#include "engine/patch_script.h"

#include <cstdio>

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fputs("Syntax:   tilegraft  patchScriptFileName\n", stderr);
    return -1;
  }
  tilegraft::PatchScript script;
  return script.run(argv[1]);
}
