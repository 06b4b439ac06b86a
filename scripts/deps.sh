#!/usr/bin/env bash
# Installs the Debian packages of the named groups that are missing.
#
#   scripts/deps.sh GROUP...           e.g.  scripts/deps.sh build tests
#   scripts/deps.sh --list GROUP...    prints the packages of the groups, one a line
#
# Groups:
#   build   the library and the qel tool (release preset, scripts/run-example.sh)
#   tests   the test suite (default preset, scripts/run-tests.sh)
#   clang   clang++, its sanitizer runtimes and the LLVM tools CMake takes with it
#           (asan, tsan and fuzz presets)
#   bench   the benchmarks and the libraries they compare against (bench/run)
#   plot    the figure of bench/run --plot
#   abi     the ABI check (scripts/check-abi.sh)
#   lint    the formatting and clang-tidy checks (scripts/check-style.sh)
set -euo pipefail

packages_of() {
  case "$1" in
    build) echo cmake ninja-build g++ nlohmann-json3-dev libcli11-dev ;;
    tests) echo libgtest-dev libgmock-dev pkg-config zsh ;;
    clang) echo clang libclang-rt-14-dev llvm lld ;;
    bench) echo libbenchmark-dev libssl-dev libpoco-dev rapidjson-dev nlohmann-json3-dev libsimdjson-dev pkg-config python3 ;;
    plot) echo python3 python3-matplotlib ;;
    abi) echo abigail-tools ;;
    lint) echo clang-format clang-tidy ;;
    *)
      echo "scripts/deps.sh: unknown group '$1' (build, tests, clang, bench, plot, abi, lint)" >&2
      return 2
      ;;
  esac
}

list=0
if [ "${1:-}" = --list ]; then
  list=1
  shift
fi
if (($# == 0)); then
  echo "usage: scripts/deps.sh [--list] GROUP...  (build, tests, clang, bench, plot, abi, lint)" >&2
  exit 2
fi

packages=()
for group in "$@"; do
  names=$(packages_of "$group") || exit 2
  read -r -a more <<<"$names"
  packages+=("${more[@]}")
done
mapfile -t packages < <(printf '%s\n' "${packages[@]}" | sort -u)

if ((list)); then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
