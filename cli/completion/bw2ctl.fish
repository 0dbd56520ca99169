# fish completion for bw2ctl: commands, the recovery commands' options, and the ids and names of the
# items kept in the caches.

function __bw2ctl_commands
    bw2ctl --help 2>/dev/null | awk '/^commands:/ {on = 1; next} on && /^  [a-z]/ {n = $1; sub(/^  [^ ]+ +/, ""); print n "\t" $0}'
end

function __bw2ctl_items
    bw2ctl list --hours 0 --all-disks --format '{id}\t{name}' 2>/dev/null
    bw2ctl list --hours 0 --all-disks --format '{name}' 2>/dev/null
end

set -l recovery list recover restore delete
set -l items recover restore delete

complete -c bw2ctl -f
complete -c bw2ctl -n __fish_use_subcommand -a '(__bw2ctl_commands)'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l from -r -a '(__fish_complete_directories)' -d 'items trashed from inside a folder'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l search -x -d 'names holding a text'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l since -x -d 'stored at or after (date or age)'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l until -x -d 'stored at or before (date or age)'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l larger -x -d 'files larger than a size'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l smaller -x -d 'files smaller than a size'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l all-disks -d "every local volume's cache"
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l help -d 'show the help'
complete -c bw2ctl -n "__fish_seen_subcommand_from list" -l hours -x -d 'batches of the last hours'
complete -c bw2ctl -n "__fish_seen_subcommand_from list" -l format -x -d 'one line per item'
complete -c bw2ctl -n "__fish_seen_subcommand_from list" -l null -d 'NUL-separated records'
complete -c bw2ctl -n "__fish_seen_subcommand_from $recovery" -l json -d 'JSON for scripts'
complete -c bw2ctl -n "__fish_seen_subcommand_from $items" -l all -d 'every selected item'
complete -c bw2ctl -n "__fish_seen_subcommand_from $items" -l dry-run -d 'print, change nothing'
complete -c bw2ctl -n "__fish_seen_subcommand_from recover restore" -l to -r -a '(__fish_complete_directories)' -d 'destination folder'
complete -c bw2ctl -n "__fish_seen_subcommand_from restore" -l flat -d 'side by side in the destination'
complete -c bw2ctl -n "__fish_seen_subcommand_from delete" -l yes -d 'do not ask'
complete -c bw2ctl -n "__fish_seen_subcommand_from $items" -a '(__bw2ctl_items)'
complete -c bw2ctl -n "__fish_seen_subcommand_from restore" -F
