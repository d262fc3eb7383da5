# bash completion for quorvanta, the command that controls Quorvanta Host.

_quorvanta() {
  local current=${COMP_WORDS[COMP_CWORD]}
  local words
  case $COMP_CWORD in
    1)
      words="status start stop pair unpair devices revoke set login show help --help --version"
      ;;
    2)
      case ${COMP_WORDS[1]} in
        pair) words="--no-qr" ;;
        set) words="control curtain" ;;
        login) words="on off" ;;
      esac
      ;;
    3)
      if [[ ${COMP_WORDS[1]} == set ]]; then words="on off"; fi
      ;;
  esac
  COMPREPLY=()
  if [[ -n $words ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$words" -- "$current")
  fi
}

complete -F _quorvanta quorvanta
