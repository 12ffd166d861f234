#!/usr/bin/env bash
# The Windows installer's tables as msiinfo (msitools) reads them, for what
# installing it under Wine does not show: the ten keys per class for each
# bitness (the installer test reads one of them back), an x64 package of
# the project's version, and the upgrade entries of MajorUpgrade.
#
#   check_msi.sh MSI VERSION
set -euo pipefail
msi=$1
version=$2
status=0
# A table's rows, without its three header lines and msiinfo's CRs.
rows() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }
fail() { echo "$msi: $*" >&2; status=1; }

for component in Library64 Library32; do
  count=$(rows Registry | awk -F'\t' -v c="$component" '$6 == c { n++ } END { print n + 0 }')
  [ "$count" -eq 20 ] || fail "$component has $count registry values, not 20"
done
[ "$(rows Upgrade | wc -l)" -eq 2 ] || fail "no MajorUpgrade entries"
msiinfo suminfo "$msi" | tr -d '\r' | grep -q '^Template: x64;1033' || fail "not an x64 package"
rows Property | grep -q $'^ProductVersion\t'"$version"'$' || fail "not version $version"
exit $status
