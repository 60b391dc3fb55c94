# Shared by scripts/test and scripts/demo: installs the Debian packages the
# build needs (apt-get update once, only when something is missing) and builds
# everything into build/.

KAVRIN_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libssl-dev openssl libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)

kavrin_install_packages() {
  local missing=()
  for pkg in "${KAVRIN_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
}

kavrin_build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE="${KAVRIN_BUILD_TYPE:-RelWithDebInfo}" "$@"
  cmake --build build
}
