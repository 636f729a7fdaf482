#!/usr/bin/env bash
# karvex-flash --port against the virtual device's bootloader behind a pseudo-terminal.
# Usage: serial_port_test.sh linux PROGRAM PTY_DEVICE LINE_SPY WORK_DIR
#        serial_port_test.sh windows PROGRAM PTY_DEVICE - WORK_DIR EMULATOR
# On Windows (under Wine) one upload through a COM port that the prefix maps to the terminal.
set -u
system=$1 program=$(realpath "$2") pty_device=$(realpath "$3") spy=$4 work=$5 emulator=${6:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/hex_records.sh"
source "$here/../../tools/common.sh" # the project's Wine prefix

rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
unset KARVEX_SIM_SILENT KARVEX_SIM_NAK KARVEX_SIM_DROP KARVEX_SIM_UNPLUG_AFTER KARVEX_SIM_TRACE
# A terminal has no DTR and RTS, so the bootloader runs from the start, as one left running.
export KARVEX_SIM_LISTENING=1
# Its texts are the Russian ones.
export LC_ALL=ru_RU.UTF-8

# start_device NAME: the bootloader behind a new terminal, its flash in NAME.flash; sets `port`
# (the terminal's path) and `device_pid`. KARVEX_SIM_* variables configure it.
start_device() {
  rm -f "$1.path" "$1.flash"
  KARVEX_SIM_FLASH=$1.flash KARVEX_SIM_TRACE=$1.trace "$pty_device" "$1.path" &
  device_pid=$!
  for _ in $(seq 100); do [ -s "$1.path" ] && break; sleep 0.05; done
  port=$(cat "$1.path" 2>/dev/null)
  [ -n "$port" ] || fail "$1: no terminal"
}

# flash NAME ARGS...: karvex-flash with ARGS, output in NAME.out and NAME.err; sets `status`.
flash() {
  local name=$1; shift
  timeout 60 $emulator "$program" "$@" >"$name.out" 2>"$name.err.raw"
  status=$?
  tr -d '\r' <"$name.err.raw" >"$name.err"
  return $status
}

expect() { # NAME EXIT STDERR
  [ "$status" -eq "$2" ] || fail "$1: exit $status, expected $2 (stderr: $(cat "$1.err"))"
  [ "$(cat "$1.err")" = "$3" ] || fail "$1: stderr '$(cat "$1.err")', expected '$3'"
}

# The device's end: it saves its flash once the program has closed the terminal.
device_ends() {
  timeout 10 tail --pid="$device_pid" -f /dev/null || { kill "$device_pid"; fail "$1: device left running"; }
}

flashed() { cmp -s -n 32576 "$1.flash" fw.patched; }

no_lines_note() {
  echo "karvex-flash: у порта $1 нет линий DTR и RTS; загрузчик устройства должен быть уже запущен"
}

firmware_hex fw && patched_copy fw.bin fw.patched

if [ "$system" = windows ]; then
  start_device com
  mkdir -p "$WINEPREFIX/dosdevices"
  ln -sfn "$port" "$WINEPREFIX/dosdevices/com40"
  flash com --quiet --port COM40 fw.hex
  rm -f "$WINEPREFIX/dosdevices/com40"
  device_ends com
  [ "$status" -eq 0 ] && grep -qx "Успешно завершено" com.err ||
    fail "COM40: exit $status, stderr '$(cat com.err)'"
  flashed com || fail "COM40: the device's flash differs from the image"
  [ "$failures" -eq 0 ] && echo "the upload through COM40 passed"
  exit $(( failures > 0 ))
fi

# --- Uploads -------------------------------------------------------------------
start_device plain
flash plain --port "$port" fw.hex
expect plain 0 "$(no_lines_note "$port")"$'\n'"Успешно завершено"
device_ends plain
flashed plain || fail "plain: the device's flash differs from the image"

# Refused twice, block 3 goes a third time; a refused handshake is sent again.
KARVEX_SIM_NAK="3:1,2;hs:1" start_device refused
flash refused --quiet --port "$port" fw.hex
device_ends refused
[ "$status" -eq 0 ] || fail "refused: exit $status ($(cat refused.err))"
flashed refused || fail "refused: the device's flash differs from the image"
[ "$(grep -c -- '-> N' refused.trace)" -eq 3 ] || fail "refused: $(grep -c -- '-> N' refused.trace) refusals"

# A silent device, and meanwhile a second program that wants the same port.
KARVEX_SIM_SILENT=1 start_device silent
flash silent --port "$port" fw.hex &
silent_pid=$!
for _ in $(seq 200); do grep -q handshake silent.trace 2>/dev/null && break; sleep 0.05; done
flash held --port "$port" fw.hex
expect held 5 "Не могу открыть порт $port: Device or resource busy"
wait "$silent_pid"; status=$?
expect silent 6 "$(no_lines_note "$port")"$'\n'"Устройство не отвечает"
device_ends silent


flash missing --port "$work/no-such-port" fw.hex
expect missing 5 "Не могу открыть порт $work/no-such-port: No such file or directory"
flash not-a-port --port fw.hex fw.hex
expect not-a-port 5 "Не могу открыть порт fw.hex: Inappropriate ioctl for device"

# --- The lines and the port as the device and the driver see them --------------------
spy() { # NAME ARGS...: flash through the spy, which gives the terminal DTR, RTS and serial flags
  ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0 KARVEX_SPY_PORT=$port \
    KARVEX_SPY_LOG=$1.log LD_PRELOAD=$spy flash "$@"
}
# The port's own settings, to be given back: another speed, and no HUPCL.
start_device lines
stty -F "$port" 19200 -hupcl
spy lines --port "$port" fw.hex
expect lines 0 "Успешно завершено"
device_ends lines
flashed lines || fail "lines: the device's flash differs from the image"
# Expected: both lines released in one request at the open, again by the setup, asserted right
# after the first handshake request, released at the end, and the port never closed between.
[ "$(grep -E '^(open|close|DTR|RTS)' lines.log | tr '\n' ' ')" = "open DTR RTS 0 DTR 0 RTS 0 DTR 1 RTS 1 DTR 0 RTS 0 close " ] ||
  fail "lines: $(grep -E '^(open|close|DTR|RTS)' lines.log | tr '\n' ' ')"
# The receive thread may send block 0 before the assertion: the device here answers at once.
[ "$(awk '/^write/ && !first { first = $0 } /^DTR 1/ { print first; exit }' lines.log)" = "write C1 1" ] ||
  fail "lines: the assertion does not follow the first handshake request"
[ "$(grep -c '^write 00 69' lines.log)" -eq 509 ] || fail "lines: not 509 blocks"
[ "$(grep -A 1 -m 1 '^open' lines.log | tail -n 1)" = "DTR RTS 0" ] || fail "lines: not released first"
[ "$(awk '/^write/ { print "wrote"; exit } /^DTR RTS 0/ { print "released"; exit }' lines.log)" = released ] ||
  fail "lines: wrote before the release"
[ "$(grep '^write' lines.log | tail -n 1)" = "write 00 69" ] || fail "lines: wrote after the upload"
# Low latency asked at the open and the port's flags given back before the close; HUPCL in
# every setting the program makes, and the port's own settings given back last.
[ "$(grep -E '^(serial|settings|close)' lines.log | tr '\n' ' ')" = \
  "serial flags 0x2010 settings 19200 hupcl settings 500000 hupcl settings 500000 hupcl settings 500000 hupcl settings 19200 no-hupcl serial flags 0x10 close " ] ||
  fail "lines: settings $(grep -E '^(serial|settings|close)' lines.log | tr '\n' ' ')"

# SIGTERM mid-upload: exit 8, the lines released and the port closed. Replies come 2 ms late,
# so that the upload lasts about a second.
KARVEX_SIM_LATENCY_US=2000 start_device stopped
spy stopped --port "$port" fw.hex &
flash_pid=$!
for _ in $(seq 400); do [ "$(cat stopped.log 2>/dev/null | grep -c '^write 00 69')" -ge 20 ] && break; sleep 0.01; done
kill -TERM "$(pgrep -P "$flash_pid" -x timeout)" # which passes it on to karvex-flash
wait "$flash_pid"; status=$?
expect stopped 8 "Загрузка прервана"
device_ends stopped
[ "$(grep -c '^write 00 69' stopped.log)" -lt 509 ] || fail "stopped: ended after the upload"
[ "$(grep -E '^(DTR|RTS|close|serial)' stopped.log | tail -n 4 | tr '\n' ' ')" = "DTR 0 RTS 0 serial flags 0x10 close " ] ||
  fail "stopped: the end $(grep -E '^(DTR|RTS|close|serial)' stopped.log | tail -n 4 | tr '\n' ' ')"

# The other end goes away as the device writes the 100th block, whose 'K' is lost: the upload
# ends at once, each block written once (a failed write counts too), none again on time-outs.
KARVEX_SIM_UNPLUG_AFTER=100 start_device gone
spy gone --quiet --port "$port" fw.hex
expect gone 6 "Устройство не отвечает: устройство отключено"
device_ends gone
grep -q '^# dev=0 block 99 .*-> unplugged' gone.trace || fail "gone: the device did not vanish"
[ "$(grep -c '^write 00' gone.log)" -eq 100 ] || fail "gone: $(grep -c '^write 00' gone.log) block writes"

# A driver that takes another speed than asked while reporting success.
start_device slower
KARVEX_SPY_SPEED_REFUSED=1 spy slower --port "$port" fw.hex
expect slower 5 "Не могу открыть порт $port: скорость 500000 бод не поддерживается"
kill "$device_pid" 2>/dev/null

# Lines that fail otherwise than by being absent: the port cannot be set up.
start_device broken-lines
KARVEX_SPY_LINES_FAIL=1 spy broken-lines --port "$port" fw.hex
expect broken-lines 5 "Не могу открыть порт $port: Input/output error"
kill "$device_pid" 2>/dev/null

# --- Command line ----------------------------------------------------------------
for args in "--port" "--port /dev/null --device 0 fw.hex" "--device 1 --port /dev/null fw.hex" \
            "--dump out.bin --port /dev/null fw.hex" "--list --port /dev/null"; do
  # shellcheck disable=SC2086
  flash usage $args
  [ "$status" -eq 1 ] && head -n 1 usage.err | grep -q "^karvex-flash: " || fail "usage '$args': exit $status"
done
# --port auto with no FTDI chip attached (the sysfs cases are in serial_ports_test); skipped
# on a machine that has one.
if ! grep -qx 0403 /sys/bus/usb/devices/*/idVendor 2>/dev/null; then
  flash auto --port auto fw.hex
  expect auto 4 "Нет последовательного порта с микросхемой FTDI"
fi
flash bad-hex --port "$work/no-such-port" missing.hex
expect bad-hex 2 "Ошибка считывания hex-файла"

[ "$failures" -eq 0 ] && echo "all serial port cases passed"
exit $(( failures > 0 ))
