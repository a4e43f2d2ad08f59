#!/usr/bin/env bash
# Runs the dataset workflow through a single-node Slurm cluster started on this
# machine, and checks that its tables equal those of a local run.
#
# Needs root (the daemons run as root). Installs Debian's slurm-wlm and munge
# when missing, builds the project when needed, and keeps everything else
# (munge key, Slurm configuration, state, spool, logs, pid files, the sample
# tree and both results) in one temporary folder, removed at the end after the
# daemons are stopped by their PIDs. Not part of ./scripts/test.sh.
# Exit status: 0 the tables are equal; 1 anything else.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/common.sh"

require_root "the Slurm and munge daemons run as root"
PACKAGES="$PACKAGES slurm-wlm munge"
install_missing
[ -x "$BUILD_DIR/sc-vardo" ] && [ -x "$BUILD_DIR/tools/sc-vardo-eval" ] || build

TMP="$(mktemp -d /tmp/scvardo-slurm.XXXXXX)"
PIDFILES=("$TMP/slurmd.pid" "$TMP/slurmctld.pid" "$TMP/munged.pid")
stop() {
  local status=$?
  for f in "${PIDFILES[@]}"; do
    [ -s "$f" ] || continue
    local pid
    pid="$(cat "$f")"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$pid" 2>/dev/null || true
  done
  if [ "$status" -ne 0 ]; then
    echo "test-slurm.sh: FAILED; daemon logs:" >&2
    tail -n 20 "$TMP"/*.log >&2 2>/dev/null || true
  fi
  rm -rf "$TMP"
  exit "$status"
}
trap stop EXIT
trap 'exit 1' INT TERM

# ---- munge ------------------------------------------------------------------
# munged wants its socket's folders searchable by all and writable by no one else.
chmod 711 "$TMP"
dd if=/dev/urandom of="$TMP/munge.key" bs=1024 count=1 status=none
chmod 400 "$TMP/munge.key"
munged --key-file="$TMP/munge.key" --socket="$TMP/munge.socket" --pid-file="$TMP/munged.pid" \
  --log-file="$TMP/munged.log" --seed-file="$TMP/munged.seed"

# ---- Slurm ------------------------------------------------------------------
free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
NODE="$(hostname -s)"
MEM_MB=$(( $(awk '/MemTotal/ {print $2}' /proc/meminfo) / 1024 * 8 / 10 ))
mkdir -p "$TMP/state" "$TMP/spool"
cat > "$TMP/slurm.conf" <<EOF
ClusterName=scvardo-test
SlurmctldHost=$NODE(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$TMP/munge.socket
StateSaveLocation=$TMP/state
SlurmdSpoolDir=$TMP/spool
SlurmctldPidFile=$TMP/slurmctld.pid
SlurmdPidFile=$TMP/slurmd.pid
SlurmctldLogFile=$TMP/slurmctld.log
SlurmdLogFile=$TMP/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
ReturnToService=2
NodeName=$NODE NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=$MEM_MB State=UNKNOWN
PartitionName=test Nodes=$NODE Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$TMP/slurm.conf"
# Snakemake's Slurm executor looks the user up; no account is given.
export USER="${USER:-$(id -un)}"
slurmctld -f "$SLURM_CONF"
slurmd -f "$SLURM_CONF"
for _ in $(seq 60); do
  sinfo -h -N -o %t 2>/dev/null | grep -qx idle && break
  sleep 1
done
sinfo -h -N -o %t | grep -qx idle || { echo "test-slurm.sh: the node did not come up" >&2; exit 1; }
echo "Slurm is up on $NODE (configuration $SLURM_CONF)"

# ---- The sample tree, run locally and through Slurm ---------------------------
MS="$BUILD_DIR/tools/make-sample"
"$MS" "$TMP/tree/A/v1" --frames 24 --size 32x24 >/dev/null
"$MS" "$TMP/tree/A/v2" --frames 30 --size 40x24 >/dev/null
"$MS" "$TMP/tree/B/v3" --frames 27 --size 24x32 >/dev/null
"$MS" "$TMP/tree/B/v4" --frames 24 --size 32x24 >/dev/null

export PATH="$BUILD_DIR:$BUILD_DIR/tools:$PATH"
cd "$TMP"
run() {
  /usr/bin/python3 -m snakemake --snakefile "$ROOT/workflow/Snakefile" \
    --config dataset="$TMP/tree" results="$TMP/$1" "${@:2}" > "$TMP/$1.out" 2>&1 ||
    { tail -n 40 "$TMP/$1.out" >&2; echo "test-slurm.sh: the $1 run failed" >&2; exit 1; }
}
run local --cores 2
run slurm --profile "$ROOT/workflow/profiles/slurm"
submitted=$(grep -c "Job .* has been submitted with SLURM jobid" "$TMP/slurm.out" || true)
echo "Slurm ran $submitted jobs"
[ "$submitted" -gt 0 ] || { echo "test-slurm.sh: no job went through Slurm" >&2; exit 1; }
for f in videos.csv categories.csv table.md; do
  cmp "$TMP/local/$f" "$TMP/slurm/$f" || { echo "test-slurm.sh: $f differs" >&2; exit 1; }
done
echo "test-slurm.sh: passed (videos.csv, categories.csv and table.md equal the local run's)"
