#!/usr/bin/env bash
# The installed layout and the Debian package of an already built tree: `cmake --install` into a
# throw-away DESTDIR, `cpack -G DEB`, the package's control fields and file list, the package
# unpacked by dpkg into a throw-away root, and its programs, manual pages, user unit and
# completion tried from there. Nothing is built and nothing touches the machine's own /usr.
#   package_test.sh BUILD_DIR GUI(ON|OFF)
# Exit 77 (skipped) when the machine cannot do it.
set -uo pipefail
build=$1
gui=$2

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; failed=1; }
failed=0

[ "$(id -u)" -eq 0 ] || skip "needs root: the package's files must be owned by root and dpkg needs it"
for tool in dpkg dpkg-deb dpkg-shlibdeps cpack; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ -f "$build/CPackConfig.cmake" ] || skip "$build has no CPackConfig.cmake"
[ -x "$build/src/app/tarnd" ] || skip "the programs of $build are not built"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
prefix=${prefix%/}
rel=${prefix#/}
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

# What the package must hold, below the prefix, and nothing else.
expected=(
    bin/tarnd bin/tarnctl bin/tarn-devsim bin/tarn-run "${libdir:-lib}/tarn/libtarnport.so"
    share/tarn/eeprom_GUI.xml
    share/man/man1/tarnd.1 share/man/man1/tarnctl.1 share/man/man1/tarn-devsim.1 share/man/man1/tarn-run.1
    lib/systemd/user/tarnd.service
    share/bash-completion/completions/tarnctl
    share/doc/tarn/README.md share/doc/tarn/copyright
)
if [ "$gui" = ON ]; then
    expected+=(bin/tarn share/man/man1/tarn.1 share/applications/tarn.desktop
        share/icons/hicolor/scalable/apps/tarn.svg share/tarn/autostart/tarn.desktop)
fi
printf '%s\n' "${expected[@]/#/./$rel/}" | sort >"$tmp/expected"

compare_list() { # LABEL FILE_WITH_PATHS
    if ! diff -u "$tmp/expected" "$2" >"$tmp/diff"; then
        fail "$1 differs from the expected files (- missing, + unexpected):"
        cat "$tmp/diff"
    fi
}

# 1. cmake --install into a DESTDIR.
DESTDIR="$tmp/stage" cmake --install "$build" >"$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; fail "cmake --install"; }
(cd "$tmp/stage" && find . -type f | sort) >"$tmp/staged"
compare_list "cmake --install" "$tmp/staged"
grep -qx "ExecStart=$prefix/bin/tarnd" "$tmp/stage/$rel/lib/systemd/user/tarnd.service" ||
    fail "the unit does not start $prefix/bin/tarnd"

# 2. The package.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack"; exit 1; }
deb=$(ls "$tmp"/pkg/tarn_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { cat "$tmp/cpack.log"; fail "cpack made no tarn_*.deb"; exit 1; }
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarn ] || fail "Package is '$(field Package)'"
case "$(field Section)" in net | comm) ;; *) fail "Section is '$(field Section)'" ;; esac
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Version)" = "$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")" ] ||
    fail "Version is '$(field Version)'"
depends=$(field Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6 libpcap; do
    [[ $depends == *"$lib"* ]] || fail "Depends lacks $lib (dpkg-shlibdeps did not run?)"
done
[ "$gui" = ON ] && { [[ $depends == *libqt6widgets6* && $depends == *libqt6svg6* ]] || fail "Depends lacks Qt"; }
[ "$(field Description | wc -l)" -gt 3 ] || fail "the Description has no long text"
[ "$(field Description | sed -n 2p)" != " $(field Description | head -1)" ] || fail "the Description repeats its summary"
dpkg-deb -e "$deb" "$tmp/control"
extra=$(ls "$tmp/control" | grep -vx -e control -e md5sums)
[ -z "$extra" ] || fail "maintainer scripts in the package: $extra"
dpkg-deb -c "$deb" >"$tmp/contents"
awk '$1 ~ /^-/ { print $NF }' "$tmp/contents" | sort >"$tmp/packaged"
compare_list "dpkg-deb -c" "$tmp/packaged"
awk '$2 != "root/root" { bad = 1; print } END { exit bad }' "$tmp/contents" || fail "files not owned by root"

# 3. Installed into a throw-away root. dpkg --root only unpacks: there are no maintainer scripts,
# and the dependencies are the machine's own libraries.
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
if dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$tmp/dpkg.log" 2>&1; then
    dpkg --root="$root" -s tarn | grep -q '^Status: install ok installed' || fail "dpkg --root: not installed"
else
    echo "dpkg --root did not work here, unpacking only:"; cat "$tmp/dpkg.log"
    dpkg-deb -x "$deb" "$root"
fi
bin=$root$prefix/bin
version=$(field Version)
for program in tarnd tarnctl tarn-devsim tarn-run $([ "$gui" = ON ] && echo tarn); do
    out=$("$bin/$program" --version 2>&1)
    [ "$out" = "$program $version" ] || fail "$program --version said '$out'"
    "$bin/$program" --help >"$tmp/help" 2>&1 || fail "$program --help failed"
    grep -q -- --version "$tmp/help" || fail "$program --help does not name --version"
done

# tarn-run names the shim by its full installed path: it must be the packaged one.
shim=$(sed -n "s/^lib='\\(.*\\)'$/\\1/p" "$bin/tarn-run")
[ "$shim" = "$prefix/${libdir:-lib}/tarn/libtarnport.so" ] && [ -f "$root$shim" ] ||
    fail "tarn-run preloads '$shim', not the packaged $prefix/${libdir:-lib}/tarn/libtarnport.so"

# 4. The manual pages, as man formats them.
if command -v man >/dev/null && command -v groff >/dev/null; then
    for page in "$root$prefix"/share/man/man1/*.1; do
        MANWIDTH=80 man --warnings -l "$page" >"$tmp/page" 2>"$tmp/warnings" || fail "man $page failed"
        [ -s "$tmp/warnings" ] && { fail "man warns about $(basename "$page"):"; cat "$tmp/warnings"; }
        grep -q "EXIT STATUS" "$tmp/page" || fail "$(basename "$page") has no EXIT STATUS"
        grep -q "NETWORK SAFETY" "$tmp/page" || fail "$(basename "$page") has no NETWORK SAFETY"
    done
else
    echo "man or groff is not installed: the manual pages are not checked"
fi

# 5. The user unit, pointed at the unpacked tarnd (verify wants its ExecStart to exist; its
# manual page is checked above, not on this machine).
if command -v systemd-analyze >/dev/null; then
    sed "s|^ExecStart=.*|ExecStart=$bin/tarnd|" "$root$prefix/lib/systemd/user/tarnd.service" >"$tmp/tarnd.service"
    if ! systemd-analyze verify --man=no "$tmp/tarnd.service" >"$tmp/verify" 2>&1; then
        fail "systemd-analyze verify:"; cat "$tmp/verify"
    fi
else
    echo "systemd-analyze is not installed: the unit is not verified"
fi

# 6. Completion: commands, and the COM names of the stored mappings. tarnctl add works on the
# mapping file here (no program runs); the private namespace keeps it off the network anyway.
completion=$root$prefix/share/bash-completion/completions/tarnctl
# complete_words WORDS...: what the completion offers for the last word.
{
    echo "source '$completion'"
    echo 'complete_words() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tarnctl; echo "${COMPREPLY[*]}"; }'
} >"$tmp/complete.sh"
env -i PATH="$bin:/usr/bin:/bin" bash -c "source '$tmp/complete.sh'; complete_words tarnctl ''" >"$tmp/words" 2>&1
for word in search list add remove devices; do
    grep -qw -- "$word" "$tmp/words" || fail "completion lacks '$word': $(cat "$tmp/words")"
done
[ "$(env -i PATH="$bin:/usr/bin:/bin" bash -c "source '$tmp/complete.sh'; complete_words tarnctl add tcp-")" = \
    "tcp-server tcp-client" ] || fail "completion of add's mode"
if command -v unshare >/dev/null && unshare -n true 2>/dev/null; then
    mkdir -p "$tmp/home/config" "$tmp/home/run"
    unshare -n env -i PATH="$bin:/usr/bin:/bin" XDG_CONFIG_HOME="$tmp/home/config" XDG_RUNTIME_DIR="$tmp/home/run" \
        bash -c "tarnctl add tcp-server COM57 --local 4057 >/dev/null && source '$tmp/complete.sh' &&
                 complete_words tarnctl remove ''" >"$tmp/words" 2>&1
    grep -qw COM57 "$tmp/words" || fail "completion of remove lacks the stored COM57: $(cat "$tmp/words")"
else
    echo "no private network namespace: the completion of mapped COM names is not checked"
fi

[ "$failed" -eq 0 ] && echo "package checks passed"
exit "$failed"
