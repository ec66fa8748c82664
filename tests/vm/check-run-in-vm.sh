#!/usr/bin/env bash
# Checks run-in-vm from the host: what goes into the VM (command, arguments,
# working directory, environment, host files), what comes back (output, exit
# status, files in --rw folders) and how a VM that runs out of time or dies is
# reported. Boots three VMs with a cache folder of its own.
set -u
here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
run_in_vm=$here/run-in-vm

scratch=$(mktemp -d "${TMPDIR:-/tmp}/run-in-vm-check.XXXXXX")
# Ends any VM that a faulty run-in-vm left behind (they are found by this
# check's own cache folder), then removes the scratch folder.
cleanup() {
    local pid
    for pid in $(pgrep -f -- "$scratch/cache/run"); do kill -9 "$pid" 2>/dev/null; done
    rm -rf "$scratch"
}
trap cleanup EXIT
export VM_CACHE_DIR=$scratch/cache

passed=0
failed=0
check() {
    local what=$1
    shift
    if "$@"; then
        printf 'ok: %s\n' "$what"
        passed=$((passed + 1))
    else
        printf 'FAILED: %s\n' "$what"
        failed=$((failed + 1))
    fi
}
equal() { [ "$1" = "$2" ] || { printf '  expected: %q\n  got:      %q\n' "$2" "$1"; return 1; }; }
contains() { case $1 in *"$2"*) return 0 ;; *) printf '  %q not found in:\n%s\n' "$2" "$1"; return 1 ;; esac; }
lacks() { case $1 in *"$2"*) printf '  %q found in:\n%s\n' "$2" "$1"; return 1 ;; *) return 0 ;; esac; }

# --- A command that exits with 7 -------------------------------------------

work="$scratch/work dir"
shared="$scratch/shared, dir"
mkdir -p "$work" "$shared"
printf 'from the host\n' >"$work/host-file.txt"

# Prints what it sees, one fact a line, and writes files in two places.
# shellcheck disable=SC2016  # expanded inside the VM
inner='
printf "cwd=%s\n" "$PWD"
for a in "$@"; do printf "arg=[%s]\n" "$a"; done
printf "named=%s listed=%s unlisted=%s\n" "${VM_CHECK_NAMED-unset}" "${VM_CHECK_LISTED-unset}" "${VM_CHECK_UNLISTED-unset}"
printf "host-file=%s\n" "$(cat host-file.txt)"
test -c /dev/snd/seq && echo "sequencer=yes"
grep -qw smap /proc/cpuinfo || echo "smap=off"
awk '"'"'/^MemTotal:/ { print ($2 < 850000 ? "memory=below-850000-kB" : "memory=more") }'"'"' /proc/meminfo
printf "kernel=%s\n" "$(uname -r)"
echo written-in-vm >scratch-file.txt && echo "cwd-writable=yes"
echo shared-from-vm >"$1/from-vm.txt"
echo to-stderr >&2
exit 7
'
host_kernel=$(for image in /boot/vmlinuz-*; do v=${image#/boot/vmlinuz-}; [ -f "/lib/modules/$v/modules.dep" ] && echo "$v"; done | sort -V | tail -n 1)
export VM_CHECK_LISTED=from-host-env VM_CHECK_UNLISTED=should-not-pass
# shellcheck disable=SC2016  # a literal $HOME must arrive as it is
(
    cd "$work" &&
        "$run_in_vm" --rw "$shared" --env VM_CHECK_NAMED='x y=z' --env VM_CHECK_LISTED \
            --memory 768 --cpu max,-smap -- \
            bash -c "$inner" inner "$shared" "a b" "it's" '$HOME' "" '*'
) >"$scratch/out" 2>"$scratch/err"
status=$?
out=$(cat "$scratch/out")
err=$(cat "$scratch/err")

expected="cwd=$work
arg=[$shared]
arg=[a b]
arg=[it's]
arg=[\$HOME]
arg=[]
arg=[*]
named=x y=z listed=from-host-env unlisted=unset
host-file=from the host
sequencer=yes
smap=off
memory=below-850000-kB
kernel=$host_kernel
cwd-writable=yes"

check "the command's exit status comes back" equal "$status" 7
check "stdout carries the working directory, arguments, environment and host files as on the host, and the VM has the memory and CPU asked for" equal "$out" "$expected"
check "stderr comes back apart from stdout" contains "$err" to-stderr
check "stdout holds nothing of stderr" lacks "$out" to-stderr
check "a file written in a --rw folder reaches the host" equal "$(cat "$shared/from-vm.txt" 2>&1)" shared-from-vm
check "a file written elsewhere stays in the VM" test ! -e "$work/scratch-file.txt"
check "the run folder is removed" equal "$(find "$VM_CACHE_DIR" -maxdepth 1 -name 'run.*' | wc -l)" 0

# --- A command that outlives the time-out -----------------------------------

started=$SECONDS
# A run-in-vm that failed to stop the VM would hang here; a guard kills it
# after 60 s (status 137).
timeout -s KILL 60 "$run_in_vm" --timeout 3 -- sleep 600 >"$scratch/out" 2>"$scratch/err"
status=$?
took=$((SECONDS - started))
check "a time-out ends with status 124" equal "$status" 124
check "a time-out says so" contains "$(cat "$scratch/err")" "TIMEOUT: the VM did not finish within 3 s"
check "a time-out ends the run within 30 s (took ${took} s)" test "$took" -lt 30
check "no qemu is left running after a time-out" equal "$(pgrep -f -- "$VM_CACHE_DIR/run" | wc -l)" 0

# --- A VM that powers off under the command ---------------------------------

"$run_in_vm" -- sh -c 'echo before; echo o >/proc/sysrq-trigger; sleep 60; echo after' >"$scratch/out" 2>"$scratch/err"
status=$?
check "a VM that ends without a status gives 125" equal "$status" 125
check "a VM that ends without a status says so" contains "$(cat "$scratch/err")" "the VM ended without the command's status"
check "the output written before the end still comes back" equal "$(cat "$scratch/out")" before

# --- Bad usage ---------------------------------------------------------------

"$run_in_vm" >/dev/null 2>"$scratch/err"
check "no command is a usage error with status 125" equal "$?" 125

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
