# The Debian packages the system and its tests need, for run-demo, run-tests and .ci/run
# (sourced, not run). One list, so that the three never disagree.

# Building and running the system.
qd_packages_demo=(cmake ninja-build g++ libboost-context-dev)
# Building and running the tests and the benchmarks besides: the address server's tests run
# between network namespaces (ip, from iproute2) and look its ports up in /etc/services
# (netbase), which a minimal Debian system lacks.
qd_packages_tests=(libgtest-dev libgmock-dev libbenchmark-dev iproute2 netbase)

# qd_install_packages WHO PACKAGE...: installs the packages that are not installed, with
# apt-get when run as root; otherwise prints the one apt-get line to run and returns 1.
# Off Debian (no dpkg-query) it says nothing: CMake's configure step tells what is missing.
qd_install_packages() {
  local who=$1 missing=() p
  shift
  command -v dpkg-query >/dev/null || return 0
  for p in "$@"; do
    dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$who: these Debian packages are missing: ${missing[*]}" >&2
    echo "$who: install them as root, then run ./$who again:" >&2
    echo "    apt-get update && apt-get install -y ${missing[*]}" >&2
    return 1
  fi
  echo "--- installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
