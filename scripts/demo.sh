#!/usr/bin/env bash
# The main job: the emulated printer on a loopback port, the driver taking printer 1
# through its transactions, and the driver's trace and the wire as the printer saw them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-release -j"$(nproc)" --target prtsim prttrace prtdemo >/dev/null

work=$(mktemp -d)
export PRT_NAMESPACE="demo$$" PRT_RUNTIME_DIR="$work/run" PRT_CONFIG_DIR="$work/cfg"
mkdir -p "$PRT_CONFIG_DIR"
mkfifo "$work/sim.in"
build-release/emulator/prtsim --listen 127.0.0.1:0 --long-on --frame-log "$work/frames.log" \
  <"$work/sim.in" >"$work/sim.out" &
sim=$!
exec 3>"$work/sim.in"   # prtsim serves while its standard input is open
cleanup() { exec 3>&-; wait "$sim" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 100); do grep -q '^listening on' "$work/sim.out" 2>/dev/null && break; sleep 0.05; done
addr=$(sed -n 's/^listening on //p' "$work/sim.out" | head -1)
echo "emulated printer listening on $addr"

cat >"$PRT_CONFIG_DIR/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS]
"CTS_Line"=dword:00000001

[HKEY_CLASSES_ROOT\\QTX_SBCS_FINANCE_PRINTERS\\PRINTER_1]
"ComPort"=dword:00000001
"BaudRate"=dword:00002580

[HKEY_LOCAL_MACHINE\\SOFTWARE\\prtlink\\Ports]
"COM1"="rfc2217://$addr"
REG

build-release/tools/prttrace create 1
echo
build-release/tools/prtdemo 1
status=$?
echo
echo "== driver trace of printer 1"
build-release/tools/prttrace show 1
echo
echo "== frames on the line, as the printer saw them (first 30)"
head -30 "$work/frames.log"
exit $status
