#!/usr/bin/env bash
# The Windows installer's tables as msiinfo (msitools) reads them, for what
# installing it under Wine does not show, or shows only in part: the ten
# keys per class for each bitness (the installer test reads one of them
# back), an x64 package of the project's version, the upgrade entries (a
# rebuild of the same version replaces it, a later one refuses to be
# replaced by it), the service's account, the PATH entry with the actions
# that apply it, and the permissions of the service's folder, which Wine,
# without ACLs, does not apply.
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
# Versions up to this one, this one included (VersionMaxInclusive, 512),
# are removed; later ones are only detected, and refuse the install.
rows Upgrade | awk -F'\t' -v v="$version" '$7 == "WIX_UPGRADE_DETECTED" && $3 == v && int($5 / 512) % 2 == 1 { ok = 1 }
  END { exit !ok }' || fail "a rebuild of $version would not replace $version"
rows Upgrade | awk -F'\t' -v v="$version" '$7 == "WIX_DOWNGRADE_DETECTED" && $2 == v && int($5 / 256) % 2 == 0 &&
  int($5 / 2) % 2 == 1 { ok = 1 } END { exit !ok }' || fail "no detection of later versions alone"
rows LaunchCondition | grep -q $'^NOT WIX_DOWNGRADE_DETECTED\t.' || fail "a downgrade is not refused with a message"
rows ServiceInstall | awk -F'\t' '$2 == "kestrel-channeld" && $9 == "NT AUTHORITY\\LocalService" { ok = 1 }
  END { exit !ok }' || fail "the service does not run as LocalService"
rows Environment | grep -qx $'KestrelPath\t-\*PATH\t\[~\];\[INSTALLDIR\]\tTools64' ||
  fail "Program Files\\Kestrel is not appended to the system PATH (and taken out on uninstall)"
for action in WriteEnvironmentStrings RemoveEnvironmentStrings; do
  rows InstallExecuteSequence | grep -q "^$action"$'\t' || fail "$action does not run: the PATH row does nothing"
done
rows CreateFolder | grep -qx $'DATADIR\tServiceData' || fail "the installer does not make ProgramData\\Kestrel"
rows MsiLockPermissionsEx |
  grep -qx $'ServiceData\tDATADIR\tCreateFolder\tD:P(A;OICI;FA;;;LS)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)\t' ||
  fail "ProgramData\\Kestrel is not for LocalService, Administrators and SYSTEM alone"
msiinfo suminfo "$msi" | tr -d '\r' | grep -q '^Template: x64;1033' || fail "not an x64 package"
rows Property | grep -q $'^ProductVersion\t'"$version"'$' || fail "not version $version"
exit $status
