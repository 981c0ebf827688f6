#!/usr/bin/env bash
# The bash completion of tarvik-host, tarvik-sim and tarvik-gateway (tools/bash-completion/) run
# as bash runs it at a Tab: the commands, each command's options and the types it offers must be
# the ones the programs' --help names; the gateway's --library offers shared libraries only.
#
#   bash tests/tools/completion.sh --host PATH --sim PATH --gateway PATH
set -euo pipefail

while [ $# -gt 0 ]; do
    case $1 in
    --host) host=$2; shift 2 ;;
    --sim) sim=$2; shift 2 ;;
    --gateway) gateway=$2; shift 2 ;;
    *) echo "usage: $0 --host PATH --sim PATH --gateway PATH" >&2; exit 2 ;;
    esac
done
here=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=/dev/null
source "$here/tools/bash-completion/tarvik-host"
# shellcheck source=/dev/null
source "$here/tools/bash-completion/tarvik-sim"
# shellcheck source=/dev/null
source "$here/tools/bash-completion/tarvik-gateway"
files=$(mktemp -d)
trap 'rm -rf "$files"' EXIT
touch "$files/libLibTarvik.so.1" "$files/gateway.conf"

failed=0
# offers FUNCTION "WORDS..." EXPECTED...: completing the last word offers each EXPECTED, and
# none given as !WORD.
offers() {
    local function=$1 words=$2 want
    shift 2
    read -ra COMP_WORDS <<<"$words"
    [[ $words == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function"
    for want in "$@"; do
        if [[ $want == !* ]]; then
            if printf '%s\n' "${COMPREPLY[@]}" | grep -xF -- "${want#!}" >/dev/null; then
                echo "FAILED: '$words<Tab>' offers ${want#!}" >&2
                failed=1
            fi
        elif ! printf '%s\n' "${COMPREPLY[@]}" | grep -xF -- "$want" >/dev/null; then
            echo "FAILED: '$words<Tab>' does not offer $want (offers: ${COMPREPLY[*]})" >&2
            failed=1
        fi
    done
}

mapfile -t commands < <("$host" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z]*\).*/\1/p' | sort -u)
[ ${#commands[@]} -ge 6 ] || { echo "FAILED: no commands in tarvik-host --help" >&2; exit 1; }
offers _tarvik_host "$host " "${commands[@]}"
for command in "${commands[@]}"; do
    mapfile -t options < <("$host" "$command" --help | sed -n '1,/^$/p' | grep -o -- '--[a-z-]*' | sort -u)
    offers _tarvik_host "$host $command --" "${options[@]}"
done
mapfile -t types < <("$host" --help | sed -n '/^TYPE is/,/^ADDRESS/p' | sed '$d' | grep -oE '\b[A-Z][A-Za-z0-9]+\b' | grep -vx TYPE)
[ ${#types[@]} -eq 12 ] || { echo "FAILED: tarvik-host --help names ${#types[@]} types, not 12: ${types[*]}" >&2; failed=1; }
offers _tarvik_host "$host read AI1 --type " "${types[@]}"
mapfile -t options < <("$sim" --help | grep -o -- '^ *\(-[a-z], \)\{0,1\}--[a-z-]*' | grep -o -- '--[a-z-]*')
offers _tarvik_sim "$sim --" "${options[@]}"
mapfile -t options < <("$gateway" --help | sed -n '1,/^$/p' | grep -oE -- '--[a-z-]+' | sort -u)
[ ${#options[@]} -ge 4 ] || { echo "FAILED: tarvik-gateway --help names ${#options[@]} options: ${options[*]}" >&2; failed=1; }
offers _tarvik_gateway "$gateway -" "${options[@]}" -h '!-gateway'
offers _tarvik_gateway "$gateway --library $files/" "$files/libLibTarvik.so.1" "!$files/gateway.conf"
offers _tarvik_gateway "$gateway --check $files/" "$files/gateway.conf"
offers _tarvik_gateway "$gateway --library $files/libLibTarvik.so.1 $files/g" "$files/gateway.conf"

[ $failed -eq 0 ] && echo "Completion offers the ${#commands[@]} commands, their options and the ${#types[@]} types; the gateway's options and files."
exit $failed
