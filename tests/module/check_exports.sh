#!/usr/bin/env bash
# The module exports exactly GetPluginFactory and imports only system DLLs.
set -euo pipefail
dll="$1"
dump="$(x86_64-w64-mingw32-objdump -p "$dll")"
exports="$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1;next} on&&NF==0{on=0} on{print $NF}' <<<"$dump")"
if [ "$exports" != "GetPluginFactory" ]; then
  echo "unexpected exports: $exports"; exit 1
fi
imports="$(grep 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)"
echo "imports: $(tr '\n' ' ' <<<"$imports")"
if grep -E 'libstdc|libgcc|libwinpthread|mingw' <<<"$imports"; then
  echo "module needs a MinGW runtime DLL"; exit 1
fi
echo "1 passed, 0 failed"
