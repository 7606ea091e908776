#!/usr/bin/env bash
# PNG tile sets against Pillow, each figure a ratio of one run's times (whole processes, wall
# clock) and of the files' sizes:
#  - 8k: an 8192 x 8192 RGB PNG, a 4096 x 4096 block copied in from another such PNG, saved
#    (Pillow: open, paste, save at its default level);
#  - small: a 256 x 256 palette PNG, 20 merges of 32 x 32 blocks from another, saved (the median
#    of 7 runs of each).
#
#   bench/png_vs_pillow.sh [TOOL] [small|8k|all]
#
# The sheets are drawn once (the 8k ones take minutes) into PNG_BENCH_DIR (default
# /tmp/tilegraft-png-bench) and kept for later runs: tiles of 32 x 32 pixels picked from 64
# drawn at random, 8 levels a channel, so that they compress as real tile sets do, neither
# flat nor noise.
set -euo pipefail

tool=$(realpath "${1:-build/tilegraft}")
which=${2:-all}
work=${PNG_BENCH_DIR:-/tmp/tilegraft-png-bench}
python=
for p in $(which -a python3); do
  if "$p" -c 'import PIL' 2>/dev/null; then
    python=$p
    break
  fi
done
if [ -z "$python" ]; then
  echo "no python3 with Pillow (python3-pil): nothing to compare with" >&2
  exit 1
fi
mkdir -p "$work"
cd "$work"

"$python" - "$tool" "$which" <<'EOF'
import os, random, statistics, subprocess, sys, time
from PIL import Image

tool, which = sys.argv[1], sys.argv[2]

def sheet(name, w, h, seed, tile, palette):
    if os.path.exists(name):
        return
    r = random.Random(seed)
    library = [Image.frombytes("RGB", (tile, tile),
                               bytes(r.randrange(8) * 32 for _ in range(tile * tile * 3)))
               for _ in range(64)]
    image = Image.new("RGB", (w, h))
    for y in range(0, h, tile):
        for x in range(0, w, tile):
            image.paste(r.choice(library), (x, y))
    (image.quantize(256) if palette else image).save(name + ".part", format="PNG")
    os.rename(name + ".part", name)

def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start

def compare(label, script, pillow, output, runs):
    open("script.txt", "w").write(script)
    ours, theirs = [], []
    for _ in range(runs):
        for name in ("ours-" + output, "pillow-" + output):
            if os.path.exists(name):
                os.remove(name)
        ours.append(timed([tool, "script.txt"]))
        theirs.append(timed([sys.executable, "-c", pillow]))
    mine, pil = statistics.median(ours), statistics.median(theirs)
    size, pilSize = os.path.getsize("ours-" + output), os.path.getsize("pillow-" + output)
    same = Image.open("ours-" + output).tobytes() == Image.open("pillow-" + output).tobytes()
    print(f"{label}: tilegraft {mine:.3f} s, Pillow {pil:.3f} s, time ratio {mine / pil:.2f}; "
          f"file {size} against {pilSize} bytes, size ratio {size / pilSize:.3f}; "
          f"same pixels: {same}")

if which in ("small", "all"):
    sheet("small-a.png", 256, 256, 3, 16, True)
    sheet("small-b.png", 256, 256, 4, 16, True)
    merges = [(i * 8, i * 4, i * 12 % 224, i * 9 % 224) for i in range(20)]
    script = "load base small-a.png\nload patch small-b.png\n" + "".join(
        f"<p = {x} {y} {sx} {sy} 32 32\n" for sx, sy, x, y in merges) + "save ours-small.png\n"
    pillow = ("from PIL import Image\nb = Image.open('small-a.png'); p = Image.open('small-b.png')\n"
              + "".join(f"b.paste(p.crop(({sx}, {sy}, {sx + 32}, {sy + 32})), ({x}, {y}))\n"
                        for sx, sy, x, y in merges) + "b.save('pillow-small.png')\n")
    compare("small (256 x 256 palette, 20 merges)", script, pillow, "small.png", 7)

if which in ("8k", "all"):
    sheet("base-8k.png", 8192, 8192, 1, 32, False)
    sheet("patch-8k.png", 8192, 8192, 2, 32, False)
    script = ("load base base-8k.png\nload patch patch-8k.png\n"
              "<p = 2048 2048 1000 1000 4096 4096\nsave ours-8k.png\n")
    pillow = ("from PIL import Image\nb = Image.open('base-8k.png'); p = Image.open('patch-8k.png')\n"
              "b.paste(p.crop((1000, 1000, 5096, 5096)), (2048, 2048)); b.save('pillow-8k.png')\n")
    compare("8k (8192 x 8192 RGB, a 4096 x 4096 block)", script, pillow, "8k.png", 1)
EOF
