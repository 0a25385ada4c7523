# bash completion for strataloom-cli
_strataloom_cli()
{
    local current=${COMP_WORDS[COMP_CWORD]}
    local commands="save-version versions archive unarchive check prune documents forget thin compact pin unpin delete-version restore watch desktop-integration"
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "$commands --help --version" -- "$current"))
        return
    fi
    case ${COMP_WORDS[1]} in
        versions)
            if [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--json --earlier --help" -- "$current"))
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
            ;;
        thin)
            COMPREPLY=($(compgen -W "--dry-run --now --json --help" -- "$current"))
            ;;
        compact)
            COMPREPLY=($(compgen -W "--dry-run --help" -- "$current"))
            ;;
        restore)
            if [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--dry-run --earlier --help" -- "$current"))
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
            ;;
        pin|unpin|delete-version)
            local options="--expect-checksum --help"
            [ "${COMP_WORDS[1]}" = delete-version ] && options="--dry-run $options"
            # The first word that is no option is the file; the versions after it
            # are completed by the ids versions lists.
            local i file=""
            for ((i = 2; i < COMP_CWORD; i++)); do
                case ${COMP_WORDS[i]} in
                    --expect-checksum) ((i++)) ;;
                    -*) ;;
                    *) file=${COMP_WORDS[i]}; break ;;
                esac
            done
            if [ "${COMP_WORDS[COMP_CWORD-1]}" = "--expect-checksum" ]; then
                COMPREPLY=()
            elif [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "$options" -- "$current"))
            elif [ -z "$file" ]; then
                COMPREPLY=($(compgen -f -- "$current"))
            else
                COMPREPLY=($(compgen -W "$(strataloom-cli versions -- "$file" 2>/dev/null | cut -f2 | grep -v '^-$')" -- "$current"))
            fi
            ;;
        save-version)
            COMPREPLY=($(compgen -f -- "$current"))
            ;;
        archive)
            if [ "${COMP_WORDS[COMP_CWORD-1]}" = "--history" ]; then
                COMPREPLY=()
            elif [[ $current == -* ]]; then
                COMPREPLY=($(compgen -W "--earlier --history --help" -- "$current"))
            else
                COMPREPLY=($(compgen -f -- "$current"))
            fi
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
        desktop-integration)
            [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -W "install uninstall" -- "$current"))
            ;;
        watch)
            if [ "$COMP_CWORD" -eq 2 ]; then
                COMPREPLY=($(compgen -W "add remove list status run" -- "$current"))
                return
            fi
            case ${COMP_WORDS[2]} in
                add)
                    COMPREPLY=($(compgen -d -- "$current"))
                    ;;
                remove)
                    local IFS=$'\n'
                    COMPREPLY=($(compgen -W "$(strataloom-cli watch list 2>/dev/null)" -- "$current"))
                    ;;
                status)
                    COMPREPLY=($(compgen -W "--json --help" -- "$current"))
                    ;;
                run)
                    if [ "${COMP_WORDS[COMP_CWORD-1]}" = "--quiet-seconds" ]; then
                        COMPREPLY=()
                    else
                        COMPREPLY=($(compgen -W "--quiet-seconds --help" -- "$current"))
                    fi
                    ;;
                *)
                    COMPREPLY=()
                    ;;
            esac
            ;;
        *)
            COMPREPLY=()
            ;;
    esac
}
complete -o filenames -F _strataloom_cli strataloom-cli
