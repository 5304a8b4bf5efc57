#!/usr/bin/env bash
# Checks a built package: its contents, lintian, the desktop entry and the
# metainfo, then installs it and runs the programs, the manual pages and the
# completion from the installed paths, and removes it again.
#   bash scripts/package-check.sh build/package/vortana_2.15_amd64.deb
# As root, with no vortana installed yet, the package goes into this machine
# (apt-get, pulling its dependencies) and `dpkg -r` must leave nothing behind;
# otherwise it is unpacked into a throwaway root.
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d)
installed=0
cleanup() {
  if ((installed)); then dpkg -r vortana >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package check failed: $*" >&2; exit 1; }
step() { echo "== $*"; }

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
expected=(
  ./usr/bin/vortana
  ./usr/bin/vortana-isp
  ./usr/bin/vortana-term
  "./usr/lib/$multiarch/vortana/libiHexToBin.so"
  ./usr/share/applications/vortana.desktop
  ./usr/share/icons/hicolor/scalable/apps/vortana.svg
  ./usr/share/metainfo/example.vortana.Vortana.metainfo.xml
  ./usr/share/man/man1/vortana.1.gz
  ./usr/share/man/man1/vortana-isp.1.gz
  ./usr/share/man/man1/vortana-term.1.gz
  ./usr/share/bash-completion/completions/vortana-isp
  ./usr/lib/udev/rules.d/60-vortana-serial.rules
  ./usr/share/doc/vortana/copyright
  ./usr/share/doc/vortana/changelog.gz
  ./usr/share/doc/vortana/README.Debian
)

step "contents"
dpkg-deb --contents "$deb" | awk '{print $NF}' > "$work/contents"
for f in "${expected[@]}"; do
  grep -qxF -- "$f" "$work/contents" || fail "the package lacks $f"
done
# Nothing but the programs, the private library and data under /usr/share.
if unexpected=$(grep -vE '/$' "$work/contents" | grep -vxF -f <(printf '%s\n' "${expected[@]}")); then
  fail "the package holds files nobody expects: $(tr '\n' ' ' <<<"$unexpected")"
fi
deps=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6core6 qt6-translations-l10n fonts-wqy-microhei; do
  grep -q "$d" <<<"$deps" || fail "Depends lacks $d: $deps"
done

step "lintian"
set +e
lint=$(lintian --fail-on error "$deb" 2>&1)
rc=$?
set -e
grep -v "running with root privileges" <<<"$lint" || true
((rc == 0)) || fail "lintian reports errors"

step "desktop entry and metainfo"
dpkg-deb -x "$deb" "$work/unpacked"
desktop-file-validate "$work/unpacked/usr/share/applications/vortana.desktop" ||
  fail "desktop-file-validate rejects vortana.desktop"
appstreamcli validate --no-net "$work/unpacked/usr/share/metainfo/example.vortana.Vortana.metainfo.xml" ||
  fail "appstreamcli rejects the metainfo"

if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W -f='${Status}' vortana 2>/dev/null | grep -q "ok installed"; then
  step "install into this machine"
  root=/
  # What the package's folders hold without it: anything the programs write
  # there at run time would outlive `dpkg -r`.
  find /usr/bin "/usr/lib/$multiarch" -maxdepth 1 | sort > "$work/before"
  cp "$deb" "$work/"
  installed=1
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=120 "$work/$(basename "$deb")" >/dev/null || fail "apt-get install of the package failed"
else
  step "install into a throwaway root ($work/unpacked): not root, or vortana is installed already"
  root=$work/unpacked
fi
bindir=${root%/}/usr/bin
PATH=$bindir:$PATH
export PATH

step "vortana-isp from $bindir"
"$bindir/vortana-isp" --help > "$work/help" || fail "vortana-isp --help exited with $?"
grep -q -- "--family" "$work/help" || fail "vortana-isp --help does not list --family"
# An STC download loads the image through the converter before it opens the
# port: a missing library shows as "Unable to Load iHexToBin".
printf ':0300000002001EDD\n:00000001FF\n' > "$work/fw.hex"
set +e
out=$(cd "$work" && timeout 30 "$bindir/vortana-isp" -p /dev/null -f stc fw.hex 2>&1)
rc=$?
set -e
grep -q "iHexToBin" <<<"$out" && fail "the installed vortana-isp does not find its converter library: $out"
((rc == 2)) || fail "vortana-isp on /dev/null exited with $rc, not 2: $out"

step "manual pages"
for page in vortana vortana-isp vortana-term; do
  # From the package itself: some machines keep dpkg from installing manuals.
  file=$work/unpacked/usr/share/man/man1/$page.1.gz
  [ -f "$file" ] || fail "$file is missing"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man -l $page.1.gz warns: $warnings"
  LC_ALL=C.UTF-8 man -l "$file" | grep -q "EXIT STATUS" || fail "$page.1 has no EXIT STATUS"
done
if [ "$root" = / ] && [ -f /usr/share/man/man1/vortana-isp.1.gz ]; then
  found=$(man -w vortana-isp 2>&1) || true
  [ "$found" = /usr/share/man/man1/vortana-isp.1.gz ] || fail "man -w vortana-isp gives '$found'"
fi

step "completion"
offered=$(bash -c 'shopt -s extglob; source "$1"; COMP_WORDS=(vortana-isp --fam); COMP_CWORD=1; _vortana_isp
                   printf "%s\n" "${COMPREPLY[@]}"' _ "$root/usr/share/bash-completion/completions/vortana-isp")
[ "$offered" = "--family" ] || fail "completing 'vortana-isp --fam' gives '$offered'"
if [ "$root" = / ] && [ -f /usr/share/bash-completion/bash_completion ]; then
  # The way an interactive shell finds it: bash-completion loads it on demand.
  offered=$(bash -c 'source /usr/share/bash-completion/bash_completion; __load_completion vortana-isp
                     COMP_WORDS=(vortana-isp -f ""); COMP_CWORD=2; $(complete -p vortana-isp | sed -n "s/.*-F \([^ ]*\) .*/\1/p")
                     printf "%s " "${COMPREPLY[@]}"')
  [ "$offered" = "stm32 lpc stc " ] || fail "bash-completion does not load the completion: '$offered'"
fi

step "vortana under xvfb-run"
export VORTANA_CONFIG_HOME=$work/config
cat > "$work/window.sh" <<'WINDOW'
"$1" > "$2" 2>&1 & pid=$!
sleep 4
kill -0 "$pid" 2>/dev/null || { wait "$pid"; echo "vortana ended by itself with $?" >> "$2"; exit 3; }
kill -TERM "$pid"
for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && { kill -KILL "$pid"; echo "vortana did not end on SIGTERM" >> "$2"; exit 4; }
wait "$pid"
WINDOW
set +e
timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" bash "$work/window.sh" "$bindir/vortana" "$work/window.log"
rc=$?
set -e
((rc == 0)) || fail "vortana under xvfb-run: exit $rc: $(tail -3 "$work/window.log" | tr '\n' ' ')"
[ -f "$VORTANA_CONFIG_HOME/Vortana/Software/Vortana.reg" ] || fail "vortana wrote no settings when it closed on SIGTERM"
if grep -qiE "cannot open|error while loading|iHexToBin" "$work/window.log"; then
  fail "vortana: $(head -3 "$work/window.log" | tr '\n' ' ')"
fi

if [ "$root" = / ]; then
  step "dpkg -r"
  dpkg -r vortana >/dev/null || fail "dpkg -r vortana failed"
  installed=0
  while read -r f; do
    path=${f#.}
    [ -z "$path" ] || [ "$path" = / ] && continue
    if [[ $f == */ ]]; then
      # Directories of the package's own (not shared ones like /usr/share/man).
      case $path in
        */vortana/) [ ! -e "$path" ] || fail "dpkg -r left $path behind" ;;
      esac
    elif [ -e "$path" ] || [ -L "$path" ]; then
      fail "dpkg -r left $path behind"
    fi
  done < "$work/contents"
  find /usr/bin "/usr/lib/$multiarch" -maxdepth 1 | sort > "$work/after"
  left=$(comm -13 "$work/before" "$work/after")
  [ -z "$left" ] || fail "dpkg -r left behind what the programs wrote: $(tr '\n' ' ' <<<"$left")"
  if dpkg-query -W -f='${Status}' vortana 2>/dev/null | grep -q "ok installed"; then
    fail "dpkg still lists vortana as installed"
  fi
fi
echo "package check passed: $(basename "$deb")"
