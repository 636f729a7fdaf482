# Sourced by the tools: the project's Wine settings, the loader for a Windows program, the
# host's way of running 32-bit x86 programs, and the step lines the long commands print.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# Debian's `wine` starts the 32-bit loader first, even for a 64-bit program, and that loader
# does not run at all on hosts without 32-bit support: 64-bit programs go to wine64 directly.
wine64_loader=/usr/lib/wine/wine64
wine32_loader=/usr/lib/wine/wine

# The loader for PROGRAM: the 32-bit one for a PE32 i386 file, wine64 for anything else
# (64-bit programs and Wine's own commands such as cmd, reg or explorer).
wine_loader() {
  local file=$1 header machine
  if [ -f "$file" ] && header=$(od -An -tu4 -j60 -N4 "$file" 2>/dev/null) && [ -n "$header" ]; then
    machine=$(od -An -tx2 -j$((header + 4)) -N2 "$file" 2>/dev/null | tr -d ' ')
    [ "$machine" = 014c ] && { echo "$wine32_loader"; return; }
  fi
  echo "$wine64_loader"
}

# --- 32-bit x86 programs ----------------------------------------------------
# Bootstrap records how this host runs them: native, emulated (qemu-user through binfmt_misc),
# emulated-forced (the same, only because KARVEX_X86_EMULATED=1 asked for it) or none.
x86_mode_file="$root/build/x86-mode"
binfmt=/proc/sys/fs/binfmt_misc
binfmt_entry="$binfmt/karvex-i386"

x86_mode() { cat "$x86_mode_file" 2>/dev/null || echo none; }

# Removes a registration that only the switch asked for: binfmt_misc entries are tried before
# the kernel's own loader, so a leftover one would slow every later 32-bit program.
x86_release_forced() {
  [ "$(x86_mode)" = emulated-forced ] || return 0
  [ -e "$binfmt_entry" ] && echo -1 >"$binfmt_entry" 2>/dev/null
  echo native >"$x86_mode_file"
}

# --- Step lines ---------------------------------------------------------------
# step_begin NAME WHAT prints "NAME: WHAT ..."; step_end NAME RESULT prints "NAME: RESULT (N s)".
declare -A step_started
step_begin() {
  step_started[$1]=$(date +%s)
  echo "$1: $2 ..."
}
step_end() {
  echo "$1: $2 ($(( $(date +%s) - ${step_started[$1]:-$(date +%s)} )) s)"
}

# Prints the last lines of a failed step's log at once, so that the failure shows where it happened.
show_tail() {
  echo "---- last lines of ${1#"$root"/} ----"
  tail -n "${2:-40}" "$1"
  echo "----"
}

# --- The browser page -----------------------------------------------------------
web_build="$root/build/web"
web_site="$web_build/site"
# The site's bytes as a server sends them gzipped: each file compressed on its own.
site_gzipped_bytes() {
  local total=0 file
  for file in "$web_site"/*; do total=$(( total + $(gzip -9 -n -c "$file" | wc -c) )); done
  echo "$total"
}
# Runs node with the browser tests' environment: the site, the virtual device in WebAssembly,
# puppeteer-core from build/web-node.
web_node() {
  KARVEX_SITE="$web_site" KARVEX_DEVICE_JS="$web_build/test/virtual-device.js" \
    NODE_PATH="$root/build/web-node/node_modules" PUPPETEER_SKIP_DOWNLOAD=1 node "$@"
}
