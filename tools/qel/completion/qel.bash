# bash completion for qel                                   -*- shell-script -*-

_qel() {
  local cur prev words cword
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="show records check export import get set ls list diff apply rm mv repair
    encode decode md5 date device help"
  local globals="--codepage --wait --force --lossy --help --version"

  # The command is the first word after the global options and their values.
  local i command=""
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --codepage | --wait) ((i++)) ;;
      -*) ;;
      *)
        command=${COMP_WORDS[i]}
        break
        ;;
    esac
  done

  case $prev in
    --codepage)
      mapfile -t COMPREPLY < <(compgen -W "1250 1251 1252 1253 1254 1255 1256 1257 1258 874 932 936 949 950" -- "$cur")
      return
      ;;
    --wait | --key | --key-hex | --iv) return ;;
    -o | --output | --key-file)
      mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      return
      ;;
  esac

  if [[ -z $command ]]; then
    if [[ $cur == -* ]]; then
      mapfile -t COMPREPLY < <(compgen -W "$globals" -- "$cur")
    else
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
    fi
    return
  fi

  local options="--help"
  case $command in
    show) options+=" --json" ;;
    check) options+=" --strict --json" ;;
    records) options+=" --json" ;;
    export) options+=" -o --output" ;;
    repair) options+=" -o --output --in-place" ;;
    encode | decode) options+=" --key --key-hex --key-file --iv" ;;
    help)
      mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
      return
      ;;
    date | device) ;;
    *) options+=" --json" ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
  else
    mapfile -t COMPREPLY < <(compgen -f -- "$cur")
  fi
}

complete -o filenames -o bashdefault -F _qel qel
