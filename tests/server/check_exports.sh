#!/bin/sh
# The library exports the four entry points and nothing else of its own.
set -eu
library=$1
exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
expected=$(printf '%s\n' DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer | sort)
if [ "$exported" != "$expected" ]; then
  echo "unexpected exports of $library:"
  echo "$exported"
  exit 1
fi
echo "exports: $(echo $exported)"
