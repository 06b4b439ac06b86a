#!/usr/bin/env bash
# Fails when an #include crosses the library's layers the wrong way.
#
#   scripts/check-layers.sh
#
# The layers, lowest first; a file may include its own layer and the ones
# below it:
#   0 os        src/os                     the only code that calls the system
#   1 core      src/core, qel/core
#   2 crypto    src/crypto, qel/crypto
#   2 datetime  src/datetime, qel/datetime
#   2 platform  src/platform, qel/platform  device strings, loggers, modules
#   3 io        src/io, qel/io              (logs and reads the directory
#                                           override of qel/platform)
#   4 archive   src/archive, qel/archive
#   5 tools     tools/qel, qel/QelCore.h    public headers only
# Layers of one rank do not include each other.  Outside src/os, an angle
# include is the C++ standard library, a compiler intrinsic header or a
# library the tool uses; any other one (<unistd.h>, <sys/stat.h>, <dlfcn.h>,
# <iconv.h>, <pthread.h>, <time.h>, ...) is a system header.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

rank() {
  case $1 in
    os) echo 0 ;;
    core) echo 1 ;;
    crypto | datetime | platform) echo 2 ;;
    io) echo 3 ;;
    archive) echo 4 ;;
    tools) echo 5 ;;
    *) echo -1 ;;
  esac
}

# The layer of a file of the tree.
layer_of_file() {
  case $1 in
    src/*/*) local rest=${1#src/} && echo "${rest%%/*}" ;;
    include/qel/*/*) local rest=${1#include/qel/} && echo "${rest%%/*}" ;;
    tools/qel/* | include/qel/QelCore.h) echo tools ;;
    *) echo none ;;
  esac
}

allowed_angle='^(immintrin|x86intrin|emmintrin|smmintrin|tmmintrin|nmmintrin|arm_neon)\.h$|^(nlohmann|CLI)/'

status=0
fail() {
  echo "check-layers: $1" >&2
  status=1
}

while IFS= read -r file; do
  layer=$(layer_of_file "$file")
  own=$(rank "$layer")
  if ((own < 0)); then
    fail "$file: not in a known layer"
    continue
  fi
  while IFS= read -r line; do
    number=${line%%:*}
    text=${line#*:}
    if [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^>]+)\> ]]; then
      header=${BASH_REMATCH[1]}
      # The C++ standard library has no suffix on its headers.
      if [[ $header == *.* || $header == */* ]] && ! [[ $header =~ $allowed_angle ]] &&
        [[ $layer != os ]]; then
        fail "$file:$number: system header <$header> outside src/os"
      fi
    elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
      header=${BASH_REMATCH[1]}
      case $header in
        qel/QelCore.h) target=tools ;;
        qel/*/*) target=${header#qel/} && target=${target%%/*} ;;
        */*) target=${header%%/*}
          if [[ $layer == tools ]]; then
            fail "$file:$number: the tool includes the internal header \"$header\""
            continue
          fi ;;
        *) continue ;;  # a header beside the file
      esac
      other=$(rank "$target")
      if ((other < 0)); then
        fail "$file:$number: \"$header\" is in no known layer"
      elif [[ $target != "$layer" ]] && ((other >= own)); then
        fail "$file:$number: $layer includes the $target layer (\"$header\")"
      fi
    fi
  done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(git ls-files -co --exclude-standard -- 'src/*.h' 'src/*.cpp' 'include/*.h' 'tools/qel/*.h' \
  'tools/qel/*.cpp')

if ((status == 0)); then
  echo "check-layers: every include runs down the layers"
fi
exit $status
