#!/usr/bin/env bash
# Holds each program's --help, its manual's option list and the bash completion against each
# other, so that none of them can drift from the others: every option one of them names must
# be named by the others, and every command of velkorn-cli's --help must be in the manual
# and be completed, with each option its own --help names. Options that belong to one
# command are completed only after it, so the completion's options are gathered from every
# command's place.
#   options_agree.sh CLI TARGET MAN_DIR COMPLETION
set -euo pipefail
cli=$1 target=$2 man_dir=$3 completion=$4
export LC_ALL=C

problems=()
problem() { problems+=("$*"); }

# The options a text names: -x or --name, standing alone or after "[", "(", "|" or ",".
options_of() {
  grep -oE '(^|[][ ,|(])--?[A-Za-z0-9][-A-Za-z0-9]*' | sed -E 's/^[][ ,|(]//' | sort -u
}

# The tags of a man page's section (the lines after .TP and .TQ), as plain text.
man_tags() {
  local page=$1 section=$2
  awk -v section="$section" '
    /^\.SH / { inside = ($0 == ".SH " section); next }
    inside && tag { print; tag = 0; next }
    inside && /^\.(TP|TQ)/ { tag = 1 }
  ' "$page" | sed -E 's/^\.[A-Z]+ *//; s/\\-/-/g; s/\\f[BIRP]//g; s/\\c$//; s/"//g'
}

# The words the completion offers after WORDS... (the last word is the one completed).
complete_after() {
  bash -c '
    source /usr/share/bash-completion/bash_completion || exit 1
    source "$0" || exit 1
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _velkorn_cli velkorn-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}"
  ' "$completion" "$@" | sed '/^$/d' | sort -u
}

# has LIST WORD: is WORD one of LIST's lines?
has() { grep -qxF -- "$2" <<<"$1"; }

# each_missing WHAT LIST_A WHERE_A LIST_B WHERE_B: every word of A that B lacks.
each_missing() {
  local what=$1 a=$2 where_a=$3 b=$4 where_b=$5 word
  while read -r word; do
    [ -n "$word" ] || continue
    has "$b" "$word" || problem "$what $word ($where_a) is missing from $where_b"
  done <<<"$a"
}

[ -f /usr/share/bash-completion/bash_completion ] ||
  problem "bash-completion is not installed (scripts/install-deps.sh tests installs it)"

# velkorn-cli: the commands.
help=$("$cli" --help)
help_commands=$(awk '/^commands:/ { inside = 1; next } inside && /^$/ { exit }
                     inside && /^  [a-z]/ { print $1 }' <<<"$help" | sort -u)
[ -n "$help_commands" ] || problem "velkorn-cli --help lists no commands"
man_cli=$man_dir/velkorn-cli.1
man_commands=$(man_tags "$man_cli" COMMANDS | awk '$1 ~ /^[a-z]+$/ { print $1 }' | sort -u)
completed_commands=$(complete_after velkorn-cli "")
each_missing "command" "$help_commands" "velkorn-cli --help" "$man_commands" "the manual's COMMANDS"
each_missing "command" "$man_commands" "the manual's COMMANDS" "$help_commands" "velkorn-cli --help"
each_missing "command" "$help_commands" "velkorn-cli --help" "$completed_commands" \
  "the completion of 'velkorn-cli '"
each_missing "command" "$completed_commands" "the completion of 'velkorn-cli '" "$help_commands" \
  "velkorn-cli --help"

# velkorn-cli: the options of --help and of each command's --help.
help_options=$(options_of <<<"$help")
all_help_options=$help_options
while read -r command; do
  [ -n "$command" ] || continue
  command_options=$(set +o pipefail; "$cli" "$command" --help | options_of)
  all_help_options=$(printf '%s\n%s\n' "$all_help_options" "$command_options" | sort -u)
  each_missing "option" "$command_options" "velkorn-cli $command --help" \
    "$(complete_after velkorn-cli "$command" -)" "the completion of 'velkorn-cli $command -'"
  each_missing "option" "$command_options" "velkorn-cli $command --help" "$all_help_options" \
    "velkorn-cli --help"
done <<<"$help_commands"
man_options=$(man_tags "$man_cli" OPTIONS | options_of)
all_completed=$(complete_after velkorn-cli -)
while read -r command; do
  [ -n "$command" ] || continue
  all_completed=$(printf '%s\n%s\n' "$all_completed" "$(complete_after velkorn-cli "$command" -)" | sort -u)
done <<<"$help_commands"
each_missing "option" "$all_help_options" "velkorn-cli --help" "$man_options" "velkorn-cli.1's OPTIONS"
each_missing "option" "$man_options" "velkorn-cli.1's OPTIONS" "$all_help_options" \
  "velkorn-cli's --help and its commands' --help"
each_missing "option" "$all_help_options" "velkorn-cli --help" "$all_completed" \
  "the completion of velkorn-cli, with or without a command"
each_missing "option" "$all_completed" "the completion of velkorn-cli" "$all_help_options" \
  "velkorn-cli's --help and its commands' --help"

# velkorn-target: --help and the manual (it has no completion).
target_options=$("$target" --help | options_of)
target_man_options=$(man_tags "$man_dir/velkorn-target.1" OPTIONS | options_of)
each_missing "option" "$target_options" "velkorn-target --help" "$target_man_options" "velkorn-target.1's OPTIONS"
each_missing "option" "$target_man_options" "velkorn-target.1's OPTIONS" "$target_options" "velkorn-target --help"

if [ ${#problems[@]} -gt 0 ]; then
  printf 'options_agree: %s\n' "${problems[@]}" >&2
  exit 1
fi
echo "options_agree: velkorn-cli ($(wc -l <<<"$help_commands") commands, $(wc -l <<<"$all_help_options") options)" \
  "and velkorn-target ($(wc -l <<<"$target_options") options) agree with their manuals and the completion"
