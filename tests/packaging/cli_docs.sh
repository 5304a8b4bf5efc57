#!/usr/bin/env bash
# The manual page and the bash completion against what vortana-isp --help
# says: every option and every STC option name in one is in the others, and
# anything missing is named.
#   cli_docs.sh VORTANA_ISP MANPAGE COMPLETION
set -uo pipefail
bin=$(realpath "$1") man=$2 completion=$(realpath "$3")
help=$("$bin" --help) || { echo "$bin --help failed"; exit 1; }
faults=0
fault() { echo "$*"; faults=$((faults + 1)); }

options_in() { grep -oE -- '(^|[ ,[(])--?[a-z][a-z0-9-]*' | sed 's/^[ ,[(]//' | grep -vx -- '-' | sort -u; }
help_options=$(options_in <<<"$help")
# The roff source with its escaped hyphens and font changes undone.
man_text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$man")
man_options=$(grep -v '^\.\\"' <<<"$man_text" | options_in)
help_names=$(sed -n 's/^ \{4,\}\([a-z][a-z0-9_]*\)=.*/\1/p' <<<"$help" | sort -u)

[[ -n $help_options ]] || fault "no options found in $bin --help"
for o in $help_options; do
  grep -qx -- "$o" <<<"$man_options" || fault "vortana-isp --help lists $o; the manual page $(basename "$man") does not"
done
for o in $man_options; do
  grep -qx -- "$o" <<<"$help_options" || fault "the manual page $(basename "$man") lists $o; vortana-isp --help does not"
done
[[ -n $help_names ]] || fault "no --option names found in $bin --help"
for n in $help_names; do
  grep -qE "^\.BR $n = " <<<"$man_text" || fault "vortana-isp --help names --option $n; the manual page $(basename "$man") does not"
done

# The completion, as bash runs it after Tab.
complete_words() {
  bash -c 'shopt -s extglob; source "$1"; shift
           COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vortana_isp
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$bin" "$@"
}
offered=$(complete_words --)
for o in $help_options; do
  [[ $o == --* ]] || continue
  grep -qx -- "$o" <<<"$offered" || fault "the completion does not offer $o after 'vortana-isp --'"
done
offered=$(complete_words --option '')
for n in $help_names; do
  grep -qx -- "$n=" <<<"$offered" || fault "the completion does not offer $n= after '--option'"
done
offered=$(complete_words -f '')
[[ $(sort <<<"$offered" | tr '\n' ' ') == "lpc stc stm32 " ]] || fault "families after -f: $(tr '\n' ' ' <<<"$offered")"
offered=$(complete_words --option reset_pin = '')
[[ $(sort <<<"$offered" | tr '\n' ' ') == "io reset " ]] || fault "values of reset_pin: $(tr '\n' ' ' <<<"$offered")"

# Ports: the devices with hardware behind them and VORTANA_EXTRA_PORTS.
extra=$(mktemp -d)
offered=$(VORTANA_EXTRA_PORTS="$extra/ttyV0:$extra/ttyV1" complete_words -p "$extra/")
[[ $offered == *"$extra/ttyV0"*"$extra/ttyV1"* || $offered == *"$extra/ttyV1"*"$extra/ttyV0"* ]] ||
  fault "the completion does not offer VORTANA_EXTRA_PORTS after -p: $(tr '\n' ' ' <<<"$offered")"
# The firmware file: HEX and binary files, not others.
touch "$extra/app.hex" "$extra/app.bin" "$extra/notes.txt"
offered=$(cd "$extra" && complete_words -p ttyUSB0 -f stm32 '')
[[ $(sort <<<"$offered" | tr '\n' ' ') == "app.bin app.hex " ]] || fault "firmware files offered: $(tr '\n' ' ' <<<"$offered")"
rm -rf "$extra"

((faults == 0)) || { echo "$faults mismatches between vortana-isp --help, its manual page and its completion"; exit 1; }
echo "manual page and completion match vortana-isp --help ($(wc -w <<<"$help_options") options, $(wc -w <<<"$help_names") option names)"
