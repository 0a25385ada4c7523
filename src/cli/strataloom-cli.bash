# bash completion for strataloom-cli
_strataloom_cli()
{
    local current=${COMP_WORDS[COMP_CWORD]}
    local commands="save-version versions archive unarchive check prune documents forget thin pin unpin delete-version"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$current"))
        return
    fi
    case ${COMP_WORDS[1]} in
        versions)
            if [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--json --help" -- "$current"))
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
            ;;
        thin)
            COMPREPLY=($(compgen -W "--dry-run --now --json --help" -- "$current"))
            ;;
        pin|unpin)
            [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -f -- "$current"))
            ;;
        delete-version)
            if [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--dry-run --help" -- "$current"))
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
            ;;
        save-version|archive)
            COMPREPLY=($(compgen -f -- "$current"))
            ;;
        unarchive)
            if [ "$COMP_CWORD" -eq 2 ]; then
                COMPREPLY=($(compgen -d -- "$current"))
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
            ;;
        prune)
            COMPREPLY=($(compgen -W "--dry-run --help" -- "$current"))
            ;;
        check)
            COMPREPLY=($(compgen -W "--repair --help" -- "$current"))
            ;;
        documents)
            COMPREPLY=($(compgen -W "--json --help" -- "$current"))
            ;;
        forget)
            if [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--dry-run --id --help" -- "$current"))
            elif [[ " ${COMP_WORDS[*]:2:COMP_CWORD-2} " == *" --id "* ]]; then
                COMPREPLY=()
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
            ;;
        *)
            COMPREPLY=()
            ;;
    esac
}
complete -o filenames -F _strataloom_cli strataloom-cli
