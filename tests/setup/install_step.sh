#!/usr/bin/env bash
# scripts/setup's install step against stand-ins for apt-get, dpkg-query and dpkg
# on PATH: a mirror caught mid-sync, packages that cannot be had at all, and a
# machine that has everything.
#   install_step.sh SOURCE_DIR
set -uo pipefail
source_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Each stand-in records its arguments; STANDIN_* say how it answers.
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'STANDIN'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STANDIN_CALLS"
case " $* " in
  *" update "*)
    [ "$STANDIN_UPDATE" = ok ] && exit 0
    echo "E: Failed to fetch http://mirror/debian-security/dists/x/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
    exit 100 ;;
  *" -t "*) [ "$STANDIN_INSTALL_RELEASE" = ok ] && exit 0 ;;
  *) [ "$STANDIN_INSTALL" = ok ] && exit 0 ;;
esac
echo "E: Unable to correct problems, you have held broken packages." >&2
exit 100
STANDIN
cat >"$work/bin/dpkg-query" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg-query $*" >>"$STANDIN_CALLS"
case " $STANDIN_INSTALLED " in *" ${!#} "*) printf 'install ok installed' ;; *) exit 1 ;; esac
STANDIN
cat >"$work/bin/dpkg" <<'STANDIN'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STANDIN_CALLS"
STANDIN
chmod +x "$work/bin/"*

passed=0
failed=0
# row NAME UPDATE INSTALL INSTALL_RELEASE INSTALLED WANTED_STATUS PATTERN...: runs
# the install step for wine and wine32:i386 and checks its status and that each
# extended regular expression matches its output and calls.
row() {
  local name=$1 pattern status
  export STANDIN_UPDATE=$2 STANDIN_INSTALL=$3 STANDIN_INSTALL_RELEASE=$4 STANDIN_INSTALLED=$5
  local wanted=$6
  shift 6
  export STANDIN_CALLS="$work/$name.calls"
  : >"$STANDIN_CALLS"
  (PATH="$work/bin:$PATH" && . "$source_dir/scripts/setup" && install_missing wine wine32:i386) \
    >"$work/$name.out" 2>&1
  status=$?
  local problems=()
  [ "$status" -eq "$wanted" ] || problems+=("exit status $status, wanted $wanted")
  for pattern in "$@"; do
    grep -qE -- "$pattern" "$work/$name.out" "$STANDIN_CALLS" || problems+=("nothing matches: $pattern")
  done
  if [ "${#problems[@]}" -eq 0 ]; then
    passed=$((passed + 1))
    echo "passed: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name: ${problems[*]}"
    sed 's/^/  out: /' "$work/$name.out"
    sed 's/^/  call: /' "$STANDIN_CALLS"
  fi
}

release=$(. /etc/os-release && echo "$VERSION_CODENAME")
row mirror_mid_sync fail fail ok "" 0 \
  "could not download http://mirror/debian-security/.*Packages.xz; going on" \
  "trying $release's own \(-t $release\)" \
  "^apt-get install .* -t $release wine wine32:i386$"
row nothing_installable ok fail fail "" 1 \
  "could not install: wine wine32:i386" "run scripts/setup again later" \
  "^apt-get install .* -t $release wine wine32:i386$"
row everything_installed ok ok ok "wine wine32:i386" 0 "^dpkg-query .*wine32:i386$"
if grep -q "^apt-get" "$work/everything_installed.calls"; then
  failed=$((failed + 1)) passed=$((passed - 1))
  echo "FAILED: everything_installed: apt-get was called"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
