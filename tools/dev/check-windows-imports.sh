#!/usr/bin/env bash
# Checks that the Windows binaries of a build are fit to ship (pe_image.py):
#   ZHP.sys     native subsystem, imports only from ntoskrnl.exe and HAL.dll,
#               exports nothing, x64 unwind data, base relocations, correct
#               PE checksum;
#   zhpctl.exe  imports only from Windows system DLLs;
#   Sentrel's Win32 modules (the i686 sub-build): a 32-bit library and its
#               console program, which imports only from Windows system DLLs.
# All must exist: a build that lost one fails the check.
#   tools/dev/check-windows-imports.sh [BUILD_DIR]     default build/windows
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-build/windows}
status=0

check() {
  local kind=$1 file=$2
  if [ ! -f "$file" ]; then
    echo "check-windows-imports: $file is missing"
    status=1
    return
  fi
  /usr/bin/python3 "$here/pe_image.py" "$kind" "$file" | sed 's/^/check-windows-imports: /' || status=1
}

check driver "$dir/driver/ZHP.sys"
check program "$dir/tools/zhpctl/zhpctl.exe"

# A build folder of the windows preset holds Sentrel's i686 sub-build too; a
# folder of binaries alone (no CMakeCache.txt) has only what was put there.
sentrel="$dir/sentrel-i686"
for f in "$sentrel/libsentrel_core.a" "$sentrel/sentrel_probe.exe"; do
  if [ ! -f "$f" ] && [ -f "$dir/CMakeCache.txt" ]; then
    echo "check-windows-imports: $f is missing (Sentrel's i686 sub-build did not run)"
    status=1
  fi
done
probe="$sentrel/sentrel_probe.exe"
if [ -f "$probe" ]; then
  objdump=i686-w64-mingw32-objdump
  if ! $objdump -f "$probe" | grep -q 'file format pei-i386'; then
    echo "check-windows-imports: $probe is not a 32-bit image"
    status=1
  fi
  imports=$($objdump -p "$probe" | awk '/DLL Name:/ {print tolower($3)}' | sort -u)
  for dll in $imports; do
    case "$dll" in
      kernel32.dll | advapi32.dll | msvcrt.dll | user32.dll | ntdll.dll) ;;
      *) echo "check-windows-imports: $probe imports from $dll"; status=1 ;;
    esac
  done
  echo "check-windows-imports: sentrel_probe.exe 32-bit, imports: $(echo $imports)"
fi

exit $status
