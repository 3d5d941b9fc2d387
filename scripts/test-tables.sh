#!/usr/bin/env bash
# faceprobe-batch's output loaded as a data scientist loads it: the TSV with
# pandas.read_csv(path, sep='\t') and nothing else, the JSONL with
# pandas.read_json(path, lines=True). Each must give one row per photo, with
# the columns and values the other gives; the photos include a failure, a
# file that cannot be written, a name that opens with a quote (a quoted
# field to a CSV reader) and one with a tab and a line feed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD_DIR:-$here/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir "$work/photos"
for photo in grace_hopper.jpg astronaut.png einstein.jpg; do cp "$build/photos/$photo" "$work/photos/"; done
cp "$build/photos/einstein.jpg" "$work/photos/\"quoted name.jpg"
cp "$build/photos/grace_hopper.jpg" "$work/photos/tab	and
line.jpg"
printf 'not a photo' >"$work/photos/text.jpg"
cp "$build/photos/grace_hopper.jpg" "$work/photos/blocked.jpg"
mkdir "$work/photos/blocked_resize.jpg"  # its normalised image cannot be written
count=$(find "$work/photos" -type f -printf x | wc -c)

# Names as given, relative, so that one field begins with a quote.
cd "$work/photos"
find . -type f -printf '%P\0' | sort -z >"$work/list"
batch=$build/run/faceprobe-batch
for format in tsv jsonl; do
  status=0
  "$batch" <"$work/list" --data "$build/run" -0 --format $format - >"$work/out.$format" 2>"$work/err" ||
    status=$?
  # 1: the blocked file was not written, as it should not be.
  [ "$status" -eq 1 ] || { echo "faceprobe-batch --format $format: status $status"; cat "$work/err"; exit 1; }
done

# Debian's interpreter, which has Debian's pandas (another python3 may come first
# on the PATH).
/usr/bin/python3 - "$work/out.tsv" "$work/out.jsonl" "$count" <<'PY'
import math, sys
import pandas

tsv_path, jsonl_path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
table = pandas.read_csv(tsv_path, sep='\t')
lines = pandas.read_json(jsonl_path, lines=True)
quality = ['luminance_mean', 'luminance_variance', 'under_exposure', 'over_exposure',
           'dynamic_range', 'illumination_uniformity', 'natural_colour', 'skin_tone',
           'eyes_open', 'mouth_closed', 'inter_eye_distance', 'head_size', 'leftward_crop',
           'rightward_crop', 'margin_above', 'margin_below', 'head_pitch', 'head_yaw',
           'head_roll', 'single_face', 'sharpness', 'background_uniformity']
columns = ['path', 'status', 'brightness', 'pitch', 'yaw', 'roll', 'normalised', 'record',
           'message', 'pose_fit'] + ['q_' + name for name in quality]
failures = []
def check(condition, what):
    if not condition:
        failures.append(what)

check(list(table.columns) == columns, f'TSV columns {list(table.columns)}')
check(len(table) == count, f'TSV: {len(table)} rows for {count} photos')
check(len(lines) == count, f'JSONL: {len(lines)} rows for {count} photos')
for name in ['brightness', 'pitch', 'yaw', 'roll', 'pose_fit'] + ['q_' + q for q in quality]:
    check(pandas.api.types.is_numeric_dtype(table[name]), f'TSV {name} is {table[name].dtype}')
ok = table[table.status == 'ok']
check(len(ok) == count - 1, f'{len(ok)} photos ok of {count}')
check(set(table.status) == {'ok', 'ERROR: IMAGE NOT FOUND'}, f'statuses {set(table.status)}')
check(table.normalised.isna().sum() == 2, 'normalised: empty for the failure and the blocked file')
check(ok.record.str.count(r'\|\|').eq(2).all(), 'every ok record has its three parts')
check(any(path.startswith('\\x22quoted') for path in table.path), 'the quoted name is lost')
json_ok = lines[lines.status == 'ok']
check(sorted(json_ok.brightness.astype(int)) == sorted(ok.brightness.astype(int)),
      'brightness differs between TSV and JSONL')
for angle, column in [('pitch', 'pitch'), ('yaw', 'yaw'), ('roll', 'roll'), ('fit', 'pose_fit')]:
    from_json = sorted(p[angle] for p in json_ok.pose)
    check(all(math.isclose(a, b) for a, b in zip(from_json, sorted(ok[column]))),
          f'{angle} differs between TSV and JSONL')
for name in quality:
    from_json = sorted(q[name]['score'] if q[name]['score'] is not None else q[name]['value']
                       for q in json_ok.quality if q[name]['value'] is not None)
    from_tsv = sorted(ok['q_' + name].dropna())
    check(len(from_json) == len(from_tsv) and
          all(math.isclose(a, b, rel_tol=1e-5) for a, b in zip(from_json, from_tsv)),
          f'quality {name} differs between TSV and JSONL')
blocked = table[table.path.str.endswith('blocked.jpg')]
check(len(blocked) == 1 and blocked.message.iloc[0].startswith('cannot write'),
      'the blocked file is not named on its row')
if failures:
    print('pandas:', *failures, sep='\n  ')
    sys.exit(1)
print(f'pandas {pandas.__version__}: the TSV and the JSONL each load as {count} rows, '
      f'{len(ok)} analysed, the same values in both')
PY
