# Shared by scripts/test and scripts/demo: installs the Debian packages that
# are missing, then configures and builds into $KESTREL_BUILD_DIR (default
# build/). Sourced, not run.

KESTREL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
KESTREL_BUILD_DIR=${KESTREL_BUILD_DIR:-$KESTREL_ROOT/build}

KESTREL_PACKAGES=(
  g++ cmake ninja-build pkg-config make
  libomniorb4-dev omniidl omniorb-idl libcos4-dev
  libace-dev libssl-dev openssl
  libcpp-httplib-dev libsystemd-dev
  libnats-dev nats-server
  libgtest-dev libgmock-dev libbenchmark-dev gdb
)

# A real browser for the console's test (tests/console): Debian's Chromium,
# its WebDriver and Selenium.
KESTREL_BROWSER_PACKAGES=(chromium chromium-driver python3-selenium)

# Runs a command as root: through sudo unless this is root already.
kestrel_as_root() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

kestrel_install_packages() {
  local missing=()
  local package
  for package in "${KESTREL_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  kestrel_as_root apt-get update -q
  kestrel_as_root env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}

kestrel_build() {
  cmake -S "$KESTREL_ROOT" -B "$KESTREL_BUILD_DIR" -G Ninja "$@" >/dev/null
  cmake --build "$KESTREL_BUILD_DIR"
}
