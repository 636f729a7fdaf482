# Intel HEX records and expected images for the karvex-flash tests (sourced, not run).

# record ADDRESS TYPE [DATA]: one record with its count and checksum; DATA as hex pairs.
record() {
  local address=$1 type=$2 data=${3:-}
  local body sum=0 i
  body=$(printf '%02X%04X%02X%s' $(( ${#data} / 2 )) "$address" "$type" "$data")
  for (( i = 0; i < ${#body}; i += 2 )); do sum=$(( sum + 16#${body:i:2} )); done
  printf ':%s%02X' "$body" $(( (256 - sum % 256) % 256 ))
}

# blank_image FILE: the 32,576 bytes of an image nothing was written to.
blank_image() {
  head -c 32576 /dev/zero | tr '\0' '\377' >"$1"
}

# poke FILE ADDRESS BYTES: writes BYTES (hex pairs) into FILE at ADDRESS.
poke() {
  local file=$1 address=$2 bytes=$3
  printf "$(sed 's/../\\x&/g' <<<"$bytes")" |
    dd of="$file" bs=1 seek="$address" conv=notrunc status=none
}

# patched_copy FROM TO: TO is FROM with the jump to the bootloader in bytes 0 to 3.
patched_copy() {
  cp "$1" "$2"
  poke "$2" 0 A0EF3FF0
}

# firmware_hex NAME: NAME.hex, a program of 16-byte records over 0x0000..0x1FFF and a table
# near the image's end in CR LF lines, and its image NAME.bin (bytes 0..3 unpatched).
firmware_hex() {
  local file=$1.hex image=$1.bin
  blank_image "$image"
  # One awk run: a shell loop over the 8,192 bytes takes a minute on a busy machine.
  awk -v records="$file" 'BEGIN {
    for (address = 0; address < 8192; address += 16) {
      line = sprintf(":10%04X00", address); sum = 16 + int(address / 256) + address % 256
      for (i = 0; i < 16; i++) {
        byte = (address * 7 + i * 13 + int(address / 256)) % 256
        sum += byte; line = line sprintf("%02X", byte); printf "%02X", byte
      }
      printf "%s%02X\r\n", line, (256 - sum % 256) % 256 >records
    }
  }' >"$image.data"
  poke "$image" 0 "$(cat "$image.data")"
  rm -f "$image.data"
  printf '%s\r\n' "$(record 0x7F30 00 0102030405060708090A0B0C0D0E0F10)" >>"$file"
  poke "$image" $(( 0x7F30 )) 0102030405060708090A0B0C0D0E0F10
  printf '%s\r\n' "$(record 0 01)" >>"$file"
}
