#!/usr/bin/env bash
# Compares the ABI of the shared library with the baseline in abi/.
#
#   scripts/check-abi.sh            build (abi preset), compare, fail on an incompatible change
#   scripts/check-abi.sh --update   build and write the baseline anew
#
# Programs linked against libqelcore.so.N keep working with every later build
# that has the same SONAME, so an incompatible change (a removed or changed
# exported function, a class whose size or layout changed) must come with a
# new SONAME (the major number of the project's VERSION) and a renewed
# baseline, in the same change.  Two comparisons enforce it:
#   1. the built library against the committed baseline: an incompatible
#      change fails, and so does a SONAME that differs from the baseline's
#      (a bump whose baseline was not renewed);
#   2. the committed baseline against the one before it in the history: a
#      renewal that hides an incompatible change under the same SONAME fails.
# Additions (new functions or classes) are compatible and pass; renewing the
# baseline then records them.
set -euo pipefail
cd "$(dirname "$0")/.."

baseline=abi/libqelcore.abi
update=0
[ "${1:-}" = --update ] && update=1

scripts/deps.sh build abi
cmake --preset abi >/dev/null
cmake --build --preset abi

lib=$(find build/abi/src -maxdepth 1 -name 'libqelcore.so.*.*' | head -n1)
[ -n "$lib" ] || { echo "check-abi: no libqelcore.so.* under build/abi/src" >&2; exit 2; }

# Locations and paths would make every edit of a header a change of the
# baseline; the public headers limit the types to those of the interface.
dump() {
  abidw --headers-dir include --no-show-locs --no-corpus-path --no-comp-dir-path \
        --no-architecture --type-id-style hash --out-file "$2" "$1"
}
soname_of() { sed -n "s/.*soname='\([^']*\)'.*/\1/p" "$1" | head -n1; }

current=$(mktemp)
previous=$(mktemp)
report=$(mktemp)
trap 'rm -f "$current" "$previous" "$report"' EXIT
dump "$lib" "$current"

if ((update)); then
  mkdir -p abi
  cp "$current" "$baseline"
  chmod 644 "$baseline"
  echo "check-abi: wrote $baseline for $(soname_of "$current")"
  exit 0
fi

[ -f "$baseline" ] || { echo "check-abi: $baseline is missing; write it with --update" >&2; exit 1; }

# abidiff's status is a bit set: 1 error, 2 usage, 4 change, 8 incompatible
# change.  It sets 8 only for a removed symbol: a function whose types
# changed (a class that grew, a member that moved) sets 4 alone, like an
# addition, so the report's summary tells the two apart, and such a change
# counts as incompatible (status bit 8 here).  The dumps hold only the types
# of the public headers already; giving abidiff the headers again would make
# it filter out every type change, the dumps having no source locations.
# abi/internal.suppr names the internal classes whose symbols an exported
# class used to carry out with it.
compare() {
  local status=0
  abidiff --no-show-locs --suppressions abi/internal.suppr "$1" "$2" >"$report" || status=$?
  if ((status & 3)); then
    cat "$report" >&2
    echo "check-abi: abidiff failed ($status)" >&2
    exit 2
  fi
  if grep -Eq '[1-9][0-9]* (Removed|Changed)' "$report"; then
    status=$((status | 8))
  fi
  return $status
}

status=0
compare "$baseline" "$current" || status=$?
if [ "$(soname_of "$baseline")" != "$(soname_of "$current")" ]; then
  echo "check-abi: the library's SONAME is $(soname_of "$current"), the baseline's" \
       "$(soname_of "$baseline"): renew the baseline (scripts/check-abi.sh --update)" >&2
  exit 1
fi
if ((status & 8)); then
  cat "$report" >&2
  echo "check-abi: incompatible with $baseline under the same SONAME" \
       "$(soname_of "$current"): keep the interface, or bump the project's major" \
       "version and renew the baseline in the same change" >&2
  exit 1
fi
if ((status & 4)); then
  cat "$report"
  echo "check-abi: compatible additions; renew the baseline to record them"
fi

# The baseline against its predecessor, when the history has one.
last=$(git log -n1 --format=%H -- "$baseline" 2>/dev/null || true)
if [ -n "$last" ] && git cat-file -e "$last^:$baseline" 2>/dev/null; then
  git show "$last^:$baseline" >"$previous"
  status=0
  compare "$previous" "$baseline" || status=$?
  if ((status & 8)) && [ "$(soname_of "$previous")" = "$(soname_of "$baseline")" ]; then
    cat "$report" >&2
    echo "check-abi: commit ${last:0:12} renewed $baseline over an incompatible change" \
         "without a new SONAME ($(soname_of "$baseline"))" >&2
    exit 1
  fi
fi
echo "check-abi: $(soname_of "$current") matches $baseline"
