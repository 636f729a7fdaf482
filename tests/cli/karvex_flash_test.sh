#!/usr/bin/env bash
# End-to-end tests of karvex-flash against the virtual device.
# Usage: karvex_flash_test.sh linux|windows PROGRAM DRIVER_DIR WORK_DIR [EMULATOR]
set -u
system=$1 program=$2 driver_dir=$3 work=$4 emulator=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/hex_records.sh"
program=$(realpath "$program") driver_dir=$(realpath "$driver_dir")

rm -rf "$work" && mkdir -p "$work/with-driver" "$work/no-driver" && cd "$work" || exit 1
exe_name=$(basename "$program")
cp "$program" with-driver/ && cp "$program" no-driver/
if [ "$system" = windows ]; then
  cp "$driver_dir/ftd2xx.dll" with-driver/ # found beside the program
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# flash [--no-driver] ARGS...: runs the program; sets `status`, files out and err (no CRs).
flash() {
  local folder=with-driver
  if [ "${1:-}" = --no-driver ]; then folder=no-driver; shift; fi
  local library_path=""
  [ "$folder" = with-driver ] && library_path=$driver_dir
  LD_LIBRARY_PATH=$library_path $emulator "$folder/$exe_name" "$@" >out.raw 2>err.raw
  status=$?
  tr -d '\r' <out.raw >out
  tr -d '\r' <err.raw >err
}

# expect NAME EXIT STDERR: the last run's exit code and its whole standard error.
expect() {
  [ "$status" -eq "$2" ] || fail "$1: exit $status, expected $2 (stderr: $(cat err))"
  [ "$(cat err)" = "$3" ] || fail "$1: stderr '$(cat err)', expected '$3'"
}

same_image() { cmp -s -n 32576 "$1" "$2"; }

export KARVEX_SIM_DEVICES="KARVEX" KARVEX_SIM_FLASH=flash.bin
# The texts below are the Russian ones; the language cases pick theirs.
export LC_ALL=ru_RU.UTF-8
unset KARVEX_SIM_SILENT KARVEX_SIM_FAIL KARVEX_SIM_NAK KARVEX_SIM_DROP

upload_with_jump() {
  rm -f flash.bin*
  flash --quiet fw.hex
  expect "upload" 0 "Успешно завершено"
  same_image flash.bin fw.patched || fail "upload: the device's flash differs from the image"
}

# Where every start of the program costs most of a minute (32-bit Windows under emulation),
# KARVEX_CLI_SCOPE=upload makes the one upload only.
if [ "${KARVEX_CLI_SCOPE:-}" = upload ]; then
  firmware_hex fw && patched_copy fw.bin fw.patched
  upload_with_jump
  [ "$failures" -eq 0 ] && echo "the upload passed (the other karvex-flash cases were not run)"
  exit $(( failures > 0 ))
fi

# --- Command line ------------------------------------------------------------
flash --version
[ "$status" -eq 0 ] && [ "$(cat out)" = "1.0" ] || fail "--version: exit $status, '$(cat out)'"
flash --help
[ "$status" -eq 0 ] && grep -q -- "--dump OUT.bin" out || fail "--help: exit $status"
for args in "" "--bogus fw.hex" "--device" "--device x fw.hex" "--device -1 fw.hex" \
            "--device 99999999999 fw.hex" "a.hex b.hex" "--list fw.hex" "--dump" \
            "--dump out.bin --device 1 fw.hex"; do
  # shellcheck disable=SC2086
  flash $args
  [ "$status" -eq 1 ] || fail "usage '$args': exit $status"
  head -n 1 err | grep -q "^karvex-flash: " || fail "usage '$args': stderr '$(cat err)'"
  [ -s out ] && fail "usage '$args': wrote to stdout"
done

# --- Reading the HEX file ----------------------------------------------------
# The reader's rules in one file: a byte-order mark ends a line, short lines are discarded,
# lower-case digits, a record ending exactly at 0x7F3F is kept and one crossing it skipped,
# records above a base of 0x10000 skipped, later records overwrite, LF or CR LF, and a last
# record without a line end still read.
{
  printf '\xEF\xBB\xBF%s\r\n' "$(record 0 00 0a0b0c0d | tr A-F a-f)"
  printf ':0\n'
  printf '%s\n' "$(record 0x7F3C 00 11223344)" "$(record 0x7F3E 00 55667788)"
  printf '%s\r\n' "$(record 0 04 0001)" "$(record 0x0100 00 DEADBEEF)" "$(record 0 04 0000)"
  printf '%s\r\n' "$(record 0x0200 00 CAFE)" "$(record 0x0300 00 AAAA)" "$(record 0x0300 00 BB)"
  printf '%s' "$(record 0x0400 00 55)"
} >rules.hex
blank_image rules.bin
poke rules.bin 0 0A0B0C0D; poke rules.bin $((0x7F3C)) 11223344
poke rules.bin $((0x200)) CAFE; poke rules.bin $((0x300)) BBAA; poke rules.bin $((0x400)) 55
printf '%s\r\n' "$(record 0 01)" "this line follows the end record" >eof.hex
blank_image eof.bin
firmware_hex fw

for name in rules eof fw; do
  flash --dump "$name.out" --no-goto "$name.hex"
  expect "dump $name --no-goto" 0 ""
  cmp -s "$name.out" "$name.bin" || fail "dump $name --no-goto: image differs"
  patched_copy "$name.bin" "$name.patched"
  flash --dump "$name.out" "$name.hex"
  expect "dump $name" 0 ""
  cmp -s "$name.out" "$name.patched" || fail "dump $name: image differs"
done

printf '%s \r\n' "$(record 0 00 01020304)" >blank.hex
printf '%s\r\n' "$(record 0 00 01020304 | sed 's/..$/00/')" >checksum.hex
printf '%s\r\n' "$(record 0 02 1000)" >segment.hex
for name in blank checksum segment missing; do
  rm -f bad.out
  flash --dump bad.out "$name.hex"
  expect "dump $name.hex" 2 "Ошибка считывания hex-файла"
  [ -e bad.out ] && fail "dump $name.hex: wrote an image"
  KARVEX_SIM_DEVICES=none flash "$name.hex"      # the file is judged before the device
  expect "upload $name.hex, no device" 2 "Ошибка считывания hex-файла"
done
flash --dump no-such-folder/out.bin fw.hex
[ "$status" -eq 7 ] || fail "dump into a missing folder: exit $status"
mkdir -p empty-folder
flash --dump empty-folder fw.hex                   # not writable as a file: left as it was
[ "$status" -eq 7 ] && [ -d empty-folder ] || fail "dump onto a folder: exit $status, folder gone?"

# --- Driver and devices ------------------------------------------------------
if [ "$system" = linux ] && /sbin/ldconfig -p 2>/dev/null | grep -q libftd2xx; then
  echo "note: a D2XX library is installed on this system; the missing-driver cases are skipped"
else
  flash --no-driver fw.hex
  expect "no driver, upload" 3 "Не могу подключиться к драйверу"
  flash --no-driver missing.hex            # the file is read before the driver is bound
  expect "no driver, missing file" 2 "Ошибка считывания hex-файла"
  flash --no-driver --list                 # the serial ports need no library
  expect "no driver, --list" 0 "Не могу подключиться к драйверу"
  grep -qv $'^port\t' out && fail "no driver, --list: printed '$(cat out)'"
fi

# The serial ports of the machine running the test follow the devices.
KARVEX_SIM_DEVICES=none flash --list
expect "--list, none" 0 ""
grep -qv $'^port\t' out && fail "--list, none: printed '$(cat out)'"
KARVEX_SIM_DEVICES="KARVEX A;KARVEX B;KARVEX C" flash --list
expect "--list, three" 0 ""
[ "$(grep -v $'^port\t' out)" = "$(printf '0\tKARVEX A\tKVX00001\n1\tKARVEX B\tKVX00002\n2\tKARVEX C\tKVX00003')" ] ||
  fail "--list, three: printed '$(cat out)'"

KARVEX_SIM_DEVICES=none flash fw.hex
expect "no device" 4 "Выберите устройство"
KARVEX_SIM_DEVICES="A;B;C" flash --device 3 fw.hex
expect "device 3 of 3" 4 "Выберите устройство"

# The user's language: on POSIX the first of LC_ALL, LC_MESSAGES and LANG that is set, on
# Windows the UI language, which Wine takes from the same variables; --lang over it. The exit
# code stays.
LC_ALL= LC_MESSAGES= LANG=C KARVEX_SIM_DEVICES=none flash fw.hex
expect "LANG=C" 4 "Select a device"
LC_ALL= LC_MESSAGES=ru_RU.UTF-8 LANG=C KARVEX_SIM_DEVICES=none flash fw.hex
expect "LC_MESSAGES=ru_RU.UTF-8" 4 "Выберите устройство"
LC_ALL=C KARVEX_SIM_DEVICES=none flash fw.hex --lang ru
expect "--lang ru" 4 "Выберите устройство"
KARVEX_SIM_DEVICES=none flash --lang en fw.hex
expect "--lang en" 4 "Select a device"

KARVEX_SIM_FAIL="FT_Open" flash fw.hex
expect "open refused" 5 "Не могу открыть устройство 0: статус D2XX 3"
KARVEX_SIM_DEVICES="A;B" KARVEX_SIM_FAIL="FT_SetBaudRate=4" flash --device 1 fw.hex
expect "baud rate refused" 5 "Не могу открыть устройство 1: статус D2XX 4"

# --- Uploads -----------------------------------------------------------------
upload_with_jump

rm -f flash.bin*
flash --no-goto fw.hex
expect "upload --no-goto" 0 "Успешно завершено"
same_image flash.bin fw.bin || fail "upload --no-goto: the device's flash differs"

rm -f flash.bin*
KARVEX_SIM_DEVICES="A;B;C" flash --device 1 fw.hex
expect "upload to device 1" 0 "Успешно завершено"
same_image flash.bin.1 fw.patched || fail "device 1 does not hold the image"
for other in flash.bin flash.bin.2; do
  [ -e "$other" ] && same_image "$other" fw.patched && fail "$other was flashed too"
done

# A library whose open, close and polls need stack, as the real one's USB layer does.
rm -f flash.bin*
KARVEX_SIM_STACK=262144 flash fw.hex
expect "upload, library using 256 KiB of stack" 0 "Успешно завершено"
same_image flash.bin fw.patched || fail "upload with stack use: the device's flash differs"

rm -f flash.bin*
KARVEX_SIM_SILENT=1 flash fw.hex
expect "silent device" 6 "Устройство не отвечает"
same_image flash.bin fw.patched && fail "silent device: flash holds the image"

# Unplugged as it writes the 100th block (block 99, frame 00 18C0): the upload ends at once,
# the block sent once rather than again through ten time-outs.
rm -f flash.bin* gone.trace
KARVEX_SIM_UNPLUG_AFTER=100 KARVEX_SIM_TRACE=gone.trace flash fw.hex
expect "unplugged" 6 "Устройство не отвечает: устройство отключено"
sends=$(grep -c '^FT_Write .* data=0018C0' gone.trace)
[ "$sends" -eq 1 ] || fail "unplugged: the 100th block sent $sends times"

# SIGTERM during the handshake: exit 8, the lines released and the device closed at the end.
if [ "$system" = linux ]; then
  rm -f flash.bin* stopped.trace
  (KARVEX_SIM_SILENT=1 KARVEX_SIM_TRACE=stopped.trace flash fw.hex; exit "$status") &
  runner=$!
  for _ in $(seq 300); do grep -q '^FT_SetRts' stopped.trace 2>/dev/null && break; sleep 0.01; done
  kill -TERM "$(pgrep -P "$runner")"
  wait "$runner"; status=$?
  expect "SIGTERM" 8 "Загрузка прервана"
  grep -E '^FT_(Set|Clr)Rts' stopped.trace | tail -n 1 | grep -q '^FT_ClrRts' ||
    fail "SIGTERM: RTS left asserted"
  tail -n 1 stopped.trace | grep -q '^FT_Close' || fail "SIGTERM: ended with $(tail -n 1 stopped.trace)"
fi

# --- Many devices ------------------------------------------------------------
# --all: device 1 refuses block 5 until its budget runs out; the others are flashed. The table
# (seconds left out) on stdout, a line per device on stderr as each ends.
rm -f flash.bin*
KARVEX_SIM_DEVICES="A;B;C" KARVEX_SIM_NAK_1="5:*" flash --all fw.hex
[ "$status" -eq 6 ] || fail "--all, one refusing: exit $status (stderr: $(cat err))"
table=$(sed -E 's/  [0-9]+\.[0-9]  /  S  /; s/ +/ /g' out)
expected="Устройство Серийный номер Результат Секунды Код выхода
0 KVX00001 Успешно завершено S 0
1 KVX00002 Устройство не отвечает S 6
2 KVX00003 Успешно завершено S 0"
[ "$table" = "$expected" ] || fail "--all, one refusing: table '$(cat out)'"
[ "$(sed -E 's/, [0-9]+\.[0-9] с$//' err | sort)" = "0  KVX00001: Успешно завершено
1  KVX00002: Устройство не отвечает
2  KVX00003: Успешно завершено" ] || fail "--all, one refusing: stderr '$(cat err)'"
same_image flash.bin fw.patched && same_image flash.bin.2 fw.patched ||
  fail "--all, one refusing: devices 0 and 2 do not hold the image"
same_image flash.bin.1 fw.patched && fail "--all, one refusing: device 1 holds the image"

KARVEX_SIM_DEVICES=none flash --all fw.hex
expect "--all, no device" 4 "Нет подключённых устройств"
[ -s out ] && fail "--all, no device: printed '$(cat out)'"

# --wait: the device is attached 0.5 s after the start and removed at 6 s; it is flashed once
# while attached, and SIGINT after its removal ends the station with the totals.
if [ "$system" = linux ]; then
  rm -f flash.bin*
  started=$(date +%s%N)
  KARVEX_SIM_ATTACHED="0:500-6000" LD_LIBRARY_PATH=$driver_dir with-driver/$exe_name --wait fw.hex \
    >out 2>err &
  station=$!
  for _ in $(seq 150); do grep -q 'Успешно' err && break; sleep 0.1; done
  left=$(( 7 - ($(date +%s%N) - started) / 1000000000 ))
  [ "$left" -gt 0 ] && sleep "$left"
  kill -INT "$station"
  wait "$station"; status=$?
  [ "$status" -eq 0 ] || fail "--wait: exit $status (stderr: $(cat err))"
  [ "$(sed -E 's/, [0-9]+\.[0-9] с;/, S с;/' err)" = "Жду устройства; Ctrl-C - закончить
KVX00001: Успешно завершено, S с; 1 успешно, 0 с ошибкой
Итого: 1 успешно, 0 с ошибкой" ] || fail "--wait: stderr '$(cat err)'"
  same_image flash.bin fw.patched || fail "--wait: the device does not hold the image"
fi

# Without a terminal there is no bar, even without --quiet (the runs above checked stderr).
# In one, block 1 is refused and its repeat answered half a second late: the bar tells the
# repeat while it waits, at the same width as every other bar.
if [ "$system" = linux ] && command -v script >/dev/null; then
  rm -f flash.bin*
  KARVEX_SIM_NAK=1:1 KARVEX_SIM_LATE=1:2=500000 LD_LIBRARY_PATH=$driver_dir \
    script -qec "with-driver/$exe_name fw.hex" tty.log >/dev/null </dev/null
  grep -q $'\r\[########################################\] 100%  32576 / 32576 байт' tty.log ||
    fail "terminal: no full bar"
  grep -q $'\r\[\.\{40\}\]   0%      0 / 32576 байт' tty.log || fail "terminal: no empty bar"
  grep -q $'\r\[\.\{40\}\]   0%  нет ответа, повтор 1 из 10' tty.log || fail "terminal: no repeat told"
  widths=$(tr '\r' '\n' <tty.log | grep '^\[' | LC_ALL=C.UTF-8 sed 's/./x/g' | sort -u | wc -l)
  [ "$widths" -eq 1 ] || fail "terminal: bars of $widths widths"
  grep -q "Успешно завершено" tty.log || fail "terminal: no message"
  rm -f flash.bin*
  LD_LIBRARY_PATH=$driver_dir script -qec "with-driver/$exe_name --quiet fw.hex" quiet.log >/dev/null </dev/null
  grep -q "байт" quiet.log && fail "terminal --quiet: a bar was drawn"
  grep -q "Успешно завершено" quiet.log || fail "terminal --quiet: no message"
fi

[ "$failures" -eq 0 ] && echo "all karvex-flash cases passed"
exit $(( failures > 0 ))
