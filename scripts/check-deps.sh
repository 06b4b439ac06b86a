#!/usr/bin/env bash
# Fails when a build used a file from a Debian package that scripts/deps.sh
# does not install for it, so that a missing install step shows on a machine
# that happens to have the package already.
#
#   scripts/check-deps.sh BUILD_DIR GROUP...     e.g.  scripts/check-deps.sh build/release build
#
# The files a build used: every header its compiled objects read (ninja's
# dependency log), every program and library its commands name, every file
# CMake read when it last configured the build (the package configurations
# and modules build.ninja is regenerated from), cmake and ninja themselves.
# Each must belong to a package of the named groups of scripts/deps.sh or to
# one they depend on; files of the source tree and of the build are left out.
# What the cache still holds from an earlier configuration does not count.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if (($# < 2)); then
  echo "usage: scripts/check-deps.sh BUILD_DIR GROUP..." >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift
groups=("$@")
cache=$build/CMakeCache.txt
[ -f "$cache" ] || {
  echo "check-deps: $build is not a configured build" >&2
  exit 1
}
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$cache")
source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- the files the build used ----------------------------------------------------
ninja -C "$build" -t commands | tr ' ' '\n' | sort -u >"$work/words"
ninja -C "$build" -t deps | sed -n 's/^ \{4\}//p' >"$work/headers"
[ -s "$work/headers" ] || {
  echo "check-deps: $build has compiled nothing yet" >&2
  exit 1
}
{
  cat "$work/headers"
  grep '^/' "$work/words" || true
  # A library by name, where the compiler's linker would take it.
  sed -n 's/^-l\(..*\)$/\1/p' "$work/words" | while read -r name; do
    for ext in so a; do
      found=$("$compiler" -print-file-name="lib$name.$ext")
      if [ "$found" != "lib$name.$ext" ]; then
        echo "$found"
        break
      fi
    done
  done
  ninja -C "$build" -t query build.ninja | sed -n 's/^ *\(| \)\{0,1\}\(\/.*\)$/\2/p'
  command -v cmake ninja "$compiler"
} | sort -u | { xargs -d '\n' realpath -s -q -e -- || true; } | sort -u |
  while read -r path; do
    [ -f "$path" ] || continue
    case "$path" in
      "$source"/* | "$build"/*) ;;
      *) echo "$path" ;;
    esac
  done >"$work/used"

# --- the packages they belong to -------------------------------------------------
# owners FILE-OF-PATHS: "package path" for each path a package owns; the paths
# owned by none go to $work/unowned.
owners() {
  : >"$work/unowned"
  [ -s "$1" ] || return 0
  xargs -d '\n' dpkg-query -S <"$1" 2>"$work/errors" | awk '
    /^diversion / { next }
    {
      i = index($0, ": /")
      path = substr($0, i + 2)
      n = split(substr($0, 1, i - 1), names, ", ")
      for (k = 1; k <= n; k++) {
        sub(/:.*/, "", names[k])
        print names[k], path
      }
    }' || true
  sed -n 's/^dpkg-query: no path found matching pattern //p' "$work/errors" >"$work/unowned"
}

# Debian registers some files under /lib and some under /usr/lib, and a path
# may lead there through a symbolic link: the other spellings of what is left.
other_spellings() {
  while read -r path; do
    real=$(realpath "$path")
    echo "$real $path"
    case "$real" in
      /usr/*) echo "${real#/usr} $path" ;;
      *) echo "/usr$real $path" ;;
    esac
  done <"$1"
}

owners "$work/used" >"$work/owned"
other_spellings "$work/unowned" >"$work/spellings"
cut -d' ' -f1 "$work/spellings" | sort -u >"$work/retry"
owners "$work/retry" >"$work/owned-retry"
# Back to the path the build used.
awk 'NR == FNR { used[$1] = used[$1] " " $2; next }
     { n = split(used[$2], paths, " "); for (k = 1; k <= n; k++) print $1, paths[k] }' \
  "$work/spellings" "$work/owned-retry" >>"$work/owned"
cut -d' ' -f2 "$work/owned" | sort -u >"$work/found"
comm -23 "$work/used" "$work/found" >"$work/unowned"

# --- the packages the groups install, with everything they depend on ----------
mapfile -t named < <("$root/scripts/deps.sh" --list "${groups[@]}")
apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances "${named[@]}" 2>/dev/null |
  sed -n 's/^\([^ <][^ :]*\).*$/\1/p' | sort -u >"$work/allowed"

# A path passes when any of its owners is allowed.
awk 'NR == FNR { allowed[$1] = 1; next }
     { owners[$2] = owners[$2] " " $1; if ($1 in allowed) ok[$2] = 1 }
     END { for (p in owners) if (!(p in ok)) print p owners[p] }' \
  "$work/allowed" "$work/owned" | sort >"$work/outside"

status=0
if [ -s "$work/outside" ]; then
  status=1
  echo "check-deps: $build used packages that 'scripts/deps.sh ${groups[*]}' does not install:" >&2
  awk '{ for (k = 2; k <= NF; k++) if (!seen[$k]++) first[$k] = $1 }
       END { for (p in first) printf "  %s (for example %s)\n", p, first[p] }' \
    "$work/outside" | sort >&2
fi
if [ -s "$work/unowned" ]; then
  status=1
  echo "check-deps: $build used files that belong to no Debian package:" >&2
  sed 's/^/  /' "$work/unowned" | head -20 >&2
fi
if ((status == 0)); then
  packages=$(cut -d' ' -f1 "$work/owned" | sort -u | wc -l)
  echo "check-deps: $build used $(wc -l <"$work/used") files from $packages packages," \
    "all installed by 'scripts/deps.sh ${groups[*]}':" "$(cut -d' ' -f1 "$work/owned" | sort -u | tr '\n' ' ')"
fi
exit $status
