#!/usr/bin/env bash
# Wall times of obexftp (a general OBEX client, Debian's package) and of
# quorvalen against the same simulated phone on a pseudo-terminal: a listing
# of /, a GET of a 1 MiB file, a PUT of a 300 KiB file; quorvalen cold (a
# connection of its own: --hold 0) and warm (on the connection the command
# before left held). Once against the unpaced phone, once against the
# phone paced like a cable (family 2: AT at 19200, BFB at 115200 after the
# speed frame). Prints a Markdown table; the phone's transcripts stay in
# the work folder it names.
#
#   scripts/compare-obexftp.sh [BUILD]        (default build/)
set -u
build=${1:-build}
quorvalen=$(realpath "$build/tools/quorvalen")
phone=$(realpath "$build/tools/quorvalen-phone")
for tool in "$quorvalen" "$phone"; do
  [ -x "$tool" ] || { echo "compare-obexftp: $tool is not built (make build)" >&2; exit 2; }
done
command -v obexftp >/dev/null || { echo "compare-obexftp: obexftp is not installed (apt-get install obexftp)" >&2; exit 2; }

work=$(mktemp -d /tmp/quorvalen-compare-XXXXXX)
export XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/config
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$work/root" "$work/local" "$work/got"
head -c 1048576 /dev/urandom > "$work/root/big.bin"
head -c 307200 /dev/urandom > "$work/local/small.bin"
phone_pid=

# obexftp exits with 255 even when it succeeds: what it did is checked.
last_obexftp=
obexftp_ok() {
  case "$last_obexftp" in
    list) grep -q 'big.bin' "$work/commands.log.last" 2>/dev/null ;;
    get) cmp -s "$work/got/big.bin" "$work/root/big.bin" ;;
    put) cmp -s "$work/root/small.bin" "$work/local/small.bin" ;;
  esac
}
obex() {
  last_obexftp=$1
  shift
  local start end
  start=$(date +%s.%N)
  (cd "$work/got" && obexftp -t "$device" "$@") >"$work/commands.log.last" 2>&1
  end=$(date +%s.%N)
  cat "$work/commands.log.last" >>"$work/commands.log"
  if obexftp_ok; then
    printf '%.2f s' "$(echo "$end - $start" | bc)"
  else
    printf 'fails after %.2f s' "$(echo "$end - $start" | bc)"
  fi
}
q() {
  local start end rc
  start=$(date +%s.%N)
  (cd "$work/got" && "$quorvalen" --port "$device" --mobile-type 2 "$@") >>"$work/commands.log" 2>&1
  rc=$?
  end=$(date +%s.%N)
  if [ $rc -eq 0 ]; then
    printf '%.2f s' "$(echo "$end - $start" | bc)"
  else
    printf 'fails (exit %d) after %.2f s' $rc "$(echo "$end - $start" | bc)"
  fi
}
start_phone() {
  "$phone" --root "$work/root" --family 2 "$@" --transcript "$work/transcript-${1:-unpaced}.txt" >"$work/phone.out" 2>&1 &
  phone_pid=$!
  for _ in $(seq 50); do [ -s "$work/phone.out" ] && break; sleep 0.1; done
  device=$(head -1 "$work/phone.out")
}
stop_phone() {
  "$quorvalen" release >/dev/null 2>&1
  kill "$phone_pid" 2>/dev/null
  wait "$phone_pid" 2>/dev/null
}
trap 'stop_phone' EXIT

echo "| phone | operation | obexftp | quorvalen cold | quorvalen warm |"
echo "|---|---|---|---|---|"
for pace in "" --pace; do
  start_phone $pace
  name=${pace:+paced}
  name=${name:-unpaced}
  rm -f "$work/root/small.bin" "$work/got/big.bin"
  o_list=$(obex list -l /)
  o_get=$(obex get -g big.bin)
  cp "$work/local/small.bin" "$work/got/small.bin"
  o_put=$(obex put -p small.bin)
  rm -f "$work/root/small.bin" "$work/got/big.bin"
  c_list=$(q --hold 0 ls /)
  c_get=$(q --hold 0 get -f /big.bin "$work/got/big.bin")
  c_put=$(q --hold 0 put -f "$work/local/small.bin" /)
  q ls / >/dev/null  # leaves the connection held
  w_list=$(q ls /)
  w_get=$(q get -f /big.bin "$work/got/big.bin")
  w_put=$(q put -f "$work/local/small.bin" /)
  cmp -s "$work/got/big.bin" "$work/root/big.bin" || w_get="$w_get (bytes differ!)"
  echo "| $name | list / | $o_list | $c_list | $w_list |"
  echo "| $name | get 1 MiB | $o_get | $c_get | $w_get |"
  echo "| $name | put 300 KiB | $o_put | $c_put | $w_put |"
  stop_phone
done
echo
echo "work folder (transcripts, commands.log): $work"
