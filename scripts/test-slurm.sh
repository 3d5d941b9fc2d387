#!/usr/bin/env bash
# The sharding examples of doc/batch.md, run for real on this machine:
# - Slurm: starts munged, slurmctld and slurmd (one node, 2 CPUs, state and
#   logs in a temporary folder), submits the manual's array job as written
#   (paths replaced by this build's and the test photos') with sbatch --wait,
#   and merges the parts;
# - GNU parallel: the manual's line with local jobs instead of -S hosts;
# - Slurm again: a task of the array requeued mid-run goes on where it
#   stopped, its part equal to an unbroken run's.
# Each must give every photo exactly once, each line as one unsharded
# faceprobe-batch run prints it. The daemons it started are stopped, by their
# process ids, whatever happens. Needs root (or sudo) to install the packages
# and to run the daemons.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$here/build}
"$here/scripts/build.sh" >/dev/null

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
missing=()
for p in slurm-wlm munge parallel; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}" >/dev/null
fi
[ "$(id -u)" -eq 0 ] || { echo "slurm test: skipped, the daemons need root"; exit 0; }

state=$(mktemp -d /tmp/faceprobe-slurm-XXXXXX)
chmod 755 "$state"
pids=()
stop_daemons() {
  for pid in "${pids[@]}" $(cat "$state"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
  sleep 1
  for pid in "${pids[@]}" $(cat "$state"/*.pid 2>/dev/null); do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$state"
}
trap stop_daemons EXIT

# The photos: the test photos, copies and a variant, in two folders.
photos=$state/photos
mkdir -p "$photos/sub"
for photo in grace_hopper.jpg astronaut.png einstein.jpg; do
  cp "$build/photos/$photo" "$photos/"
  cp "$build/photos/$photo" "$photos/sub/copy-$photo"
done
printf 'not a photo' >"$photos/sub/text.jpg"
count=$(find "$photos" -type f | wc -l)
(cd "$build/run" && ./faceprobe-batch -r "$photos" >"$state/whole.tsv" 2>/dev/null)
tail -n +2 "$state/whole.tsv" | sort >"$state/whole.sorted"

check_parts() {  # NAME FILE: the merged parts against the unsharded run
  local name=$1 merged=$2 rows
  if [ "$(head -n 1 "$merged")" != "$(head -n 1 "$state/whole.tsv")" ]; then
    echo "$name: the merged table does not begin with the header row"
    exit 1
  fi
  rows=$(tail -n +2 "$merged")
  if [ "$(wc -l <<<"$rows")" -ne "$count" ] || [ "$(cut -f1 <<<"$rows" | sort -u | wc -l)" -ne "$count" ]; then
    echo "$name: $(wc -l <<<"$rows") rows for $count photos"
    exit 1
  fi
  if ! sort <<<"$rows" | cmp -s - "$state/whole.sorted"; then
    echo "$name: the rows differ from the unsharded run's"
    diff <(sort <<<"$rows") "$state/whole.sorted" | head
    exit 1
  fi
  echo "$name: $count photos over 3 parts, each exactly once, each row as unsharded, one header"
}

# One node: munge with its own key and socket, then the two Slurm daemons.
node=$(hostname -s)
dd if=/dev/urandom of="$state/munge.key" bs=1024 count=1 status=none
chmod 400 "$state/munge.key"
munged --force --key-file="$state/munge.key" --socket="$state/munge.socket" \
  --pid-file="$state/munged.pid" --log-file="$state/munged.log" --seed-file="$state/munged.seed"
cat >"$state/slurm.conf" <<EOF
ClusterName=faceprobe-test
SlurmctldHost=$node
AuthType=auth/munge
AuthInfo=socket=$state/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmctldPort=16817
SlurmdPort=16818
StateSaveLocation=$state/ctld
SlurmdSpoolDir=$state/slurmd
SlurmctldPidFile=$state/slurmctld.pid
SlurmdPidFile=$state/slurmd.pid
SlurmctldLogFile=$state/slurmctld.log
SlurmdLogFile=$state/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=$node CPUs=2 State=UNKNOWN
PartitionName=test Nodes=$node Default=YES MaxTime=INFINITE State=UP
EOF
mkdir -p "$state/ctld" "$state/slurmd"
export SLURM_CONF=$state/slurm.conf
slurmctld -i
slurmd
for _ in $(seq 100); do
  sinfo -h -o %t 2>/dev/null | grep -qE "^idle" && break
  sleep 0.2
done
sinfo -h -o %t | grep -qE "^idle" || {
  echo "slurm did not come up"
  tail -n 20 "$state"/slurmctld.log "$state"/slurmd.log
  exit 1
}

# The manual's job, as written, with this machine's paths.
awk '/^```sh$/ {block = ""; inside = 1; next} /^```$/ {if (inside && block ~ /#SBATCH/) printf "%s", block; inside = 0; next} inside {block = block $0 "\n"}' \
  "$here/doc/batch.md" | sed -e "s|/opt/faceprobe/build/run|$build/run|" -e "s|/data/photos|$photos|" \
  >"$state/job.sh"
grep -q "SBATCH --array=1-3" "$state/job.sh" || { echo "no array job in the manual"; exit 1; }
mkdir "$state/submit"
start=$SECONDS
(cd "$state/submit" && sbatch --wait --quiet --output="$state/submit/slurm-%A_%a.out" "$state/job.sh")
echo "slurm: array job of 3 tasks done in $((SECONDS - start)) s"
# The manual's merge, as written.
merge=$(grep "^awk 'FNR > 1 || NR == 1' results-" "$here/doc/batch.md") || { echo "no merge line in the manual"; exit 1; }
(cd "$state/submit" && bash -c "${merge/> results.tsv/> $state/slurm.tsv}")
check_parts slurm "$state/slurm.tsv"

# The manual's GNU parallel line, with local jobs for the three hosts.
line=$(grep -A1 '^seq 3 | parallel' "$here/doc/batch.md" | tr -d '\\\n' | sed -e 's/-S host1,host2,host3 *//' \
  -e "s|/opt/faceprobe/build/run|$build/run|" -e "s|/data/photos|$photos|" -e "s|> results.tsv|> $state/parallel.tsv|")
bash -c "$line"
check_parts "GNU parallel" "$state/parallel.tsv"

# The manual's job again over 120 photos, its second task requeued once its
# part holds a few lines: rerun by Slurm, it goes on where it stopped, and
# its part equals an unbroken run's.
many=$state/many
mkdir "$many"
for i in $(seq -w 1 40); do
  for photo in grace_hopper.jpg astronaut.png einstein.jpg; do cp "$build/photos/$photo" "$many/$i-$photo"; done
done
(cd "$build/run" && ./faceprobe-batch --shard 2/3 -r "$many" >"$state/part2.expected" 2>/dev/null)
sed -e "s|$photos|$many|" "$state/job.sh" >"$state/many-job.sh"
mkdir "$state/requeue"
job=$(cd "$state/requeue" && sbatch --parsable --output="$state/requeue/slurm-%A_%a.out" "$state/many-job.sh")
part=$state/requeue/results-2.tsv
for _ in $(seq 1 600); do
  [ "$( (cat "$part" 2>/dev/null || true) | wc -l)" -lt 6 ] || break
  sleep 0.1
done
scontrol requeue "${job}_2"
for _ in $(seq 1 1200); do
  # A requeued job waits out a begin time of Slurm's before it runs again.
  if squeue -h -j "${job}_2" -o %r 2>/dev/null | grep -q BeginTime; then
    scontrol update JobId="${job}_2" StartTime=now
  fi
  [ -n "$(squeue -h -j "$job" 2>/dev/null)" ] || break
  sleep 0.1
done
[ -z "$(squeue -h -j "$job" 2>/dev/null)" ] || { echo "slurm: the requeued array did not finish"; exit 1; }
scontrol show job "${job}_2" | grep -q "Restarts=1" || { echo "slurm: the task was not requeued"; exit 1; }
kept=$(grep -ho "[0-9]* already in $part" "$state"/requeue/slurm-*_2.out | cut -d' ' -f1)
[ "${kept:-0}" -gt 0 ] || { echo "slurm: the requeued task did not go on from its part"; exit 1; }
cmp -s "$part" "$state/part2.expected" || {
  echo "slurm: the requeued task's part differs from an unbroken run's"
  diff "$part" "$state/part2.expected" | head
  exit 1
}
echo "slurm: a task requeued mid-run went on where it stopped ($kept photos kept): its part of" \
  "$(($(wc -l <"$part") - 1)) photos equals an unbroken run's"
