#!/usr/bin/env bash
# The Windows installer's tables as msiinfo (msitools) reads them: the five
# files, the 64-bit components and the 32-bit one, the ten keys per class
# for each bitness, the service, and the upgrade entries of MajorUpgrade.
#
#   check_msi.sh MSI VERSION
set -euo pipefail
msi=$1
version=$2
status=0
# A table's rows, without its three header lines and msiinfo's CRs.
rows() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
fail() { echo "$msi: $*" >&2; status=1; }

[ "$(rows File | cut -f3 | sort | xargs)" = \
  "kestrel-channeld.exe kestrel-listen.exe kestrel-publish.exe kestrel.dll kestrel.dll" ] ||
  fail "files: $(rows File | cut -f3 | xargs)"
# Attribute 256: a 64-bit component; 0: a 32-bit one.
[ "$(rows Component | awk -F'\t' '{print $1 "=" $4}' | sort | xargs)" = \
  "ChannelService=256 Library32=0 Library64=256 Tools64=256" ] ||
  fail "components: $(rows Component | awk -F'\t' '{print $1 "=" $4}' | xargs)"
for component in Library64 Library32; do
  count=$(rows Registry | awk -F'\t' -v c="$component" '$6 == c { n++ } END { print n + 0 }')
  [ "$count" -eq 20 ] || fail "$component has $count registry values, not 20"
done
rows ServiceInstall | grep -q $'^ChannelServiceInstall\tkestrel-channeld\t.*\t16\t2\t' ||
  fail "no service kestrel-channeld that starts automatically"
rows ServiceInstall | grep -q -- '--listen 127.0.0.1 --port 5000' || fail "the service's options"
[ "$(rows Upgrade | wc -l)" -eq 2 ] || fail "no MajorUpgrade entries"
msiinfo suminfo "$msi" | tr -d '\r' | grep -q '^Template: x64;1033' || fail "not an x64 package"
rows Property | grep -q $'^ProductVersion\t'"$version"'$' || fail "not version $version"
exit $status
