#!/usr/bin/env bash
# The Windows build's binaries as the system loader sees them: kestrel.dll
# exports the component model's four entry points by name and nothing else,
# and it and the programs import Windows' own DLLs only (no MinGW runtime
# DLL may be needed beside them); each carries a version resource with the
# product's name and VERSION (read with wrestool, from icoutils).
#
#   check_dll.sh OBJDUMP BIN_DIR VERSION
set -euo pipefail
objdump=$1
bin=$2
version=$3

# DLLs that every Windows since 7 has in its system folder (crypt32: the
# certificate store that the statically linked OpenSSL reads).
system_dlls=" advapi32.dll crypt32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll ws2_32.dll mswsock.dll iphlpapi.dll netapi32.dll shell32.dll user32.dll "

status=0
exports=$("$objdump" -p "$bin/kestrel.dll" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | xargs)
if [ "$exports" != "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer" ]; then
  echo "kestrel.dll exports: ${exports:0:300}" >&2
  status=1
fi

for binary in "$bin/kestrel.dll" "$bin/kestrel-publish.exe" "$bin/kestrel-listen.exe" "$bin/kestrel-channeld.exe"; do
  if [ ! -f "$binary" ]; then
    echo "$binary is missing" >&2
    status=1
    continue
  fi
  strings=$(wrestool -x --raw -t 16 "$binary" 2>/dev/null | iconv -f UTF-16LE -t UTF-8 2>/dev/null |
    tr -c '[:print:]' ' ' | tr -s ' ' || true)
  for expected in "ProductName Kestrel" "CompanyName Tarnwell Networks" "FileVersion $version" \
                  "OriginalFilename $(basename "$binary")"; do
    if [[ "$strings" != *"$expected"* ]]; then
      echo "$(basename "$binary"): no \"$expected\" in its version resource" >&2
      status=1
    fi
  done
  for imported in $("$objdump" -p "$binary" | sed -n 's/^\s*DLL Name: //p'); do
    lower=$(echo "$imported" | tr '[:upper:]' '[:lower:]')
    if [[ "$system_dlls" != *" $lower "* ]]; then
      echo "$(basename "$binary") imports $imported, which Windows does not provide" >&2
      status=1
    fi
  done
done
exit $status
