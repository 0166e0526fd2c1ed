# bash completion for compdoc
_compdoc() {
  local cur prev words cword
  _init_completion || return
  local subcommands="read check write ls cat info"
  local sub="" i
  for ((i = 1; i < cword; i++)); do
    case "${words[i]}" in
      read | check | write | ls | cat | info) sub=${words[i]}; break ;;
    esac
  done
  if [[ -z $sub ]]; then
    COMPREPLY=($(compgen -W "$subcommands --help --version" -- "$cur"))
    return
  fi
  case $prev in
    --plugin) _filedir so; return ;;
    --files-from) _filedir; return ;;
    -j | --jobs) COMPREPLY=($(compgen -W "1 2 4 8" -- "$cur")); return ;;
    --ext) COMPREPLY=($(compgen -W "doc,xls,ppt,pub,dot,vsd,mpp '*'" -- "$cur")); return ;;
    --type) COMPREPLY=($(compgen -W "VT_BSTR VT_I4 VT_R8 VT_BOOL VT_DATE VT_EMPTY" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    case $sub in
      read | check) COMPREPLY=($(compgen -W "-r --recursive --ext -j --jobs --json --csv -H --with-file
                                             --files-from -q --quiet --plugin --help" -- "$cur")) ;;
      write | info) COMPREPLY=($(compgen -W "--plugin --help" -- "$cur")) ;;
      ls) COMPREPLY=($(compgen -W "--json --help" -- "$cur")) ;;
      *) COMPREPLY=($(compgen -W "--help" -- "$cur")) ;;
    esac
    return
  fi
  if [[ $cur == *:* && $sub == read ]]; then
    return
  fi
  _filedir
  if [[ $sub == read && -z $cur ]]; then
    COMPREPLY+=($(compgen -W "Summary: DocSummary: CustomProperty: DTProperties: DTControl: Physical:" -- "$cur"))
  fi
}
complete -F _compdoc compdoc
