# bash completion for bw2ctl: commands, the recovery commands' options, and the ids and names of the
# items kept in the caches.

_bw2ctl_commands() {
    bw2ctl --help 2>/dev/null | awk '/^commands:/ {on = 1; next} on && /^  [a-z]/ {print $1}'
}

_bw2ctl_items() {
    bw2ctl list --hours 0 --all-disks --format '{id}' 2>/dev/null
    bw2ctl list --hours 0 --all-disks --format '{name}' 2>/dev/null
}

_bw2ctl() {
    local cur prev command
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    if [[ $COMP_CWORD -eq 1 ]]; then
        COMPREPLY=($(compgen -W "$(_bw2ctl_commands) --help" -- "$cur"))
        return
    fi
    command=${COMP_WORDS[1]}
    local selection="--from --search --since --until --larger --smaller --all-disks --help"
    local options
    case $command in
        list) options="$selection --hours --json --format --null" ;;
        recover) options="$selection --all --to --dry-run --json -" ;;
        restore) options="$selection --all --to --flat --dry-run --json -" ;;
        delete) options="$selection --all --yes --dry-run --json -" ;;
        *) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    case $prev in
        --from|--to) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --search|--since|--until|--larger|--smaller|--hours|--format) return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    if [[ $command != list ]]; then
        local item
        while IFS= read -r item; do
            [[ $item == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$item")")
        done < <(_bw2ctl_items)
        if [[ $command == restore ]]; then
            local IFS=$'\n'
            COMPREPLY+=($(compgen -f -- "$cur"))
        fi
    fi
}

complete -F _bw2ctl bw2ctl
