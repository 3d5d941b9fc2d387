#!/usr/bin/env bash
# How well the named head pose follows the photo: each test photo scaled x0.6
# and x1.6, mirrored, and turned 10 degrees either way about its centre,
# analysed by faceprobe-batch. Prints each variant's pitch, yaw and roll
# against the original's, checks them against the tolerances below, and the
# median of each check against half its tolerance. Exit status 1 when a check
# fails.
#   scale:    |d pitch| <= 3, |d yaw| <= 3, |d roll| <= 1.5
#   mirror:   |pitch' - pitch| <= 3, |yaw' + yaw| <= 3, |roll' + roll| <= 1.5
#   turn +-10: |d pitch| <= 3, |d yaw| <= 3, ||d roll| - 10| <= 1.5
# Usage: bench/pose_stability.sh [PHOTO...]   (default: the test photos;
# BENCH_DIR, default build-bench, holds the build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${BENCH_DIR:-$here/build-bench}/pose
"$here/scripts/setup-deps.sh"
cmake -S "$here" -B "$work/build" -DFACEPROBE_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$work/build" -j "$(nproc)" --target faceprobe-batch pose_variants >/dev/null
photos=("$@")
if [ ${#photos[@]} -eq 0 ]; then
  "$here/scripts/fetch-test-photos.sh" "$work/photos" >/dev/null
  photos=("$work"/photos/*)
fi
rm -rf "$work/variants"
mkdir -p "$work/variants"
"$work/build/bench/pose_variants" "$work/variants" "${photos[@]}"
(cd "$work/build/run" && ./faceprobe-batch --format jsonl --output-dir "$work/out" \
  "$work/variants" >"$work/poses.jsonl" 2>/dev/null)

python3 - "$work/poses.jsonl" <<'PY'
import json, os, statistics, sys
poses = {}
for line in open(sys.argv[1]):
    record = json.loads(line)
    photo, variant = os.path.basename(record["path"])[:-4].rsplit(".", 1)
    poses.setdefault(photo, {})[variant] = record.get("pose")

# (variant, angle): the deviation from what the original predicts, tolerance
def expected(variant, angle, value):
    if variant == "mirror" and angle in ("yaw", "roll"):
        return -value
    if variant.startswith("turn") and angle == "roll":
        return value + float(variant[4:])
    return value
tolerance = {"pitch": 3.0, "yaw": 3.0, "roll": 1.5}
deviations = {}
failed = 0
print(f"{'photo':<16} {'variant':<9} {'pitch':>7} {'yaw':>7} {'roll':>7} {'fit':>5}"
      f"   deviation (pitch, yaw, roll)")
for photo in sorted(poses):
    original = poses[photo].get("original")
    for variant in ["original", "scale60", "scale160", "mirror", "turn+10", "turn-10"]:
        pose = poses[photo].get(variant)
        if pose is None:
            print(f"{photo:<16} {variant:<9} no pose")
            failed += variant != "original" and original is not None
            continue
        row = f"{photo:<16} {variant:<9}" + "".join(
            f" {pose[a]:7.2f}" for a in ("pitch", "yaw", "roll")) + f" {pose.get('fit', float('nan')):5.2f}"
        if variant != "original" and original is not None:
            marks = []
            for a in ("pitch", "yaw", "roll"):
                d = abs(pose[a] - expected(variant, a, original[a]))
                d = min(d, 360 - d)
                kind = variant.rstrip("+-0123456789").replace("scale", "scale")
                deviations.setdefault((kind, a), []).append(d)
                bad = d > tolerance[a]
                failed += bad
                marks.append(f"{d:5.2f}{'!' if bad else ' '}")
            row += "   " + " ".join(marks)
        print(row)
print()
print(f"{'check':<14} {'median':>7} {'max':>7} {'tolerance':>9}")
for (kind, a), values in sorted(deviations.items()):
    median = statistics.median(values)
    bad = median > tolerance[a] / 2
    failed += bad
    print(f"{kind + ' ' + a:<14} {median:7.2f} {max(values):7.2f} {tolerance[a]:9.1f}"
          f"{'  median over half' if bad else ''}")
checks = sum(len(v) for v in deviations.values())
print(f"\n{checks - sum(1 for (k, a), v in deviations.items() for d in v if d > tolerance[a])}"
      f" of {checks} checks within tolerance")
sys.exit(1 if failed else 0)
PY
