#!/usr/bin/env bash
# Checks that the Windows binaries of a build are fit to ship (pe_image.py):
#   ZHP.sys     native subsystem, imports only from ntoskrnl.exe and HAL.dll,
#               exports nothing, x64 unwind data, base relocations, correct
#               PE checksum;
#   zhpctl.exe  imports only from Windows system DLLs.
# Both must exist: a build that lost one fails the check.
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

exit $status
