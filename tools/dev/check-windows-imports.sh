#!/usr/bin/env bash
# The Windows binaries may import only from the system: ZHP.sys from
# ntoskrnl.exe and HAL.dll, zhpctl.exe and sentrel_probe.exe from Windows
# system DLLs.
set -euo pipefail
dir=${1:-build/windows}
objdump=x86_64-w64-mingw32-objdump
status=0

check() {
  local file=$1; shift
  local allowed=("$@")
  [ -f "$file" ] || return 0
  local subsystem
  subsystem=$($objdump -p "$file" | awk '/^Subsystem/ {print $2}')
  while read -r dll; do
    local ok=0
    for a in "${allowed[@]}"; do
      [ "${dll,,}" = "${a,,}" ] && ok=1
    done
    if [ $ok -eq 0 ]; then
      echo "check-windows-imports: $file imports from $dll"
      status=1
    fi
  done < <($objdump -p "$file" | awk '/DLL Name:/ {print $3}' | sort -u)
  echo "check-windows-imports: $(basename "$file") subsystem $subsystem, imports: $($objdump -p "$file" | awk '/DLL Name:/ {print $3}' | sort -u | tr '\n' ' ')"
}

while IFS= read -r -d '' sys; do
  check "$sys" ntoskrnl.exe hal.dll
  if [ "$($objdump -p "$sys" | awk '/^Subsystem/ {print $2}')" != "00000001" ]; then
    echo "check-windows-imports: $sys is not a native-subsystem image"
    status=1
  fi
done < <(find "$dir" -path '*/CMakeFiles' -prune -o -name '*.sys' -print0 2>/dev/null)

while IFS= read -r -d '' exe; do
  check "$exe" kernel32.dll advapi32.dll msvcrt.dll user32.dll ws2_32.dll ntdll.dll \
    api-ms-win-crt-runtime-l1-1-0.dll api-ms-win-crt-stdio-l1-1-0.dll api-ms-win-crt-string-l1-1-0.dll \
    api-ms-win-crt-heap-l1-1-0.dll api-ms-win-crt-private-l1-1-0.dll
done < <(find "$dir" -path '*/CMakeFiles' -prune -o -name '*.exe' -print0 2>/dev/null)

# Sentrel's Win32 modules: a 32-bit library and its console program, built
# by the i686 sub-build.
if [ -d "$dir" ]; then
  for f in "$dir/sentrel-i686/libsentrel_core.a" "$dir/sentrel-i686/sentrel_probe.exe"; do
    if [ ! -f "$f" ]; then
      echo "check-windows-imports: $f is missing (Sentrel's i686 sub-build did not run)"
      status=1
    fi
  done
  probe="$dir/sentrel-i686/sentrel_probe.exe"
  if [ -f "$probe" ] && ! $objdump -f "$probe" | grep -q 'file format pei-i386'; then
    echo "check-windows-imports: $probe is not a 32-bit image"
    status=1
  fi
fi

exit $status
