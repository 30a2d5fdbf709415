#!/usr/bin/env bash
# The Debian package on this machine: built by the build's `package_deb` target, checked with
# lintian, installed with apt-get (which must resolve its computed dependencies), then
# the installed files at work: ankor's version, a SoftHSM2 token listed through the
# installed ankor, a request signed by its key store through the system's libcrypto,
# Orvask in /var/lib/tarvo/orvask with the machine's database that postinst made from
# the shipped schema (it finds its own package on the black list), and the Java binding
# compiled from the installed sources loading the installed library by its name. The
# lists survive a reinstall, an upgrade to a newer version and a removal; purge removes
# them with the log, and must leave no file of the package.
#
# Runs as root (dpkg). The package is removed on every way out; a lock serialises the
# runs of all build trees on the machine, and CTest runs this test alone.
source "$TARVO_SOURCE_DIR/tests/lib.sh"
: "${TARVO_DEB:?run through ctest}"
package=tarvo
arch=$(dpkg --print-architecture)

if [ "$(id -u)" -ne 0 ]; then
  echo "FAIL: installing a package needs root"
  exit 1
fi

work=$(mktemp -d)
log="$work/apt.log"
apt() {  # apt-get, waiting (bounded) for another dpkg run to finish; output to $log
  apt-get -y -q -o DPkg::Lock::Timeout=300 "$@" >"$log" 2>&1 || { cat "$log"; return 1; }
}
installed() {  # the package's dpkg state, empty when dpkg has no trace of it
  dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | sed 's/^not-installed$//' || true
}
remove_package() { if [ -n "$(installed)" ]; then apt purge "$package" || true; fi; }
cleanup() {
  remove_package
  rm -rf "$work" "$out_raw"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The documented command builds the package from this build.
cmake --build "$TARVO_BUILD_DIR" --target package_deb >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
check "package built" 1 "$([ -f "$TARVO_DEB" ] && echo 1 || echo 0)"

# lintian: no error and no warning that the package's overrides do not explain.
set +e
lintian --fail-on error,warning "$TARVO_DEB" >"$work/lintian.log" 2>&1
lintian_status=$?
set -e
cat "$work/lintian.log"
check "lintian finds no error or unexplained warning" 0 "$lintian_status"

fields=$(dpkg-deb -f "$TARVO_DEB" Depends Suggests)
# Every shared library the programs link, found by dpkg-shlibdeps, each package once.
depends=$(sed -n 's/^Depends: //p' <<<"$fields" | tr ',' '\n' | sed 's/^ *//; s/ .*//')
for dependency in libc6 libstdc++6 libssl3 libsqlite3-0 libjsoncpp25; do
  check "computed dependency on $dependency, once" 1 "$(grep -cx "$dependency" <<<"$depends")"
done
check "SoftHSM2 and OpenSC suggested" 1 "$(grep -cE '^Suggests:.*softhsm2.*opensc' <<<"$fields")"

# One install at a time on this machine; another tree's run waits here.
exec 9>/run/lock/tarvo-package-test.lock
flock -w 900 9 || { echo "FAIL: another package test holds the lock"; exit 1; }
# A run that was killed before its clean-up left the package behind.
remove_package

apt install "$TARVO_DEB"
check "installed" installed "$(installed)"
files=$(dpkg -L "$package")
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch
for path in /usr/bin/ankor /usr/bin/Orvask "$libdir/libTarvoHostmark_V_1_0_1_0.so.1" \
    "$libdir/libTarvoHostmark_V_1_0_1_0.so" /usr/include/TarvoHostmark.h \
    /usr/share/tarvo/java/org/tarvo/hostmark/Hostmark.java \
    /usr/share/tarvo/java/org/tarvo/hostmark/HostmarkCallback.java \
    /usr/share/tarvo/orvask/schema.sql /usr/share/tarvo/orvask/Orvask.db \
    /usr/share/man/man1/ankor.1.gz /usr/share/man/man1/Orvask.1.gz \
    /usr/share/doc/tarvo/deploying.md.gz /usr/share/doc/tarvo/orvask.md.gz /usr/share/doc/tarvo/ankor.md.gz \
    /usr/share/doc/tarvo/hostmark.md.gz /usr/share/doc/tarvo/linux-port.md.gz; do
  check "$path installed" 1 "$(grep -cx "$path" <<<"$files")"
done
check "library known to the dynamic linker under its SONAME" 1 \
  "$(ldconfig -p | grep -c "^\s*libTarvoHostmark_V_1_0_1_0.so.1 (.*/$multiarch/libTarvoHostmark_V_1_0_1_0.so.1$" || true)"

# The installed programs, by their installed paths.
run() { local program=$1; shift; set +e; "$program" "$@" >"$out_raw"; status=$?; set -e; out=$(cat "$out_raw"); }
run /usr/bin/ankor system info version
check "installed ankor answers its version" "$(envelope success '"1.2.8"')" "$out"

export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label "Package Test" --pin 1234 --so-pin 87654321 >/dev/null
serial=$(softhsm2-util --show-slots | awk '/Serial number:/ && $3 != "" {print $3; exit}')
ANKOR_PKCS11_MODULE_GD=/usr/lib/softhsm/libsofthsm2.so run /usr/bin/ankor pkcs11 list tokens GD
check "installed ankor lists the SoftHSM2 token" "$serial" "$(member serial)"
check "with its label" "Package Test" "$(member tokenLabel)"
# A command that needs libcrypto: the installed ankor opens the system's library.
XDG_DATA_HOME="$work/data" run /usr/bin/ankor capi repo createKeyPair \
  "Microsoft Enhanced RSA and AES Cryptographic Provider" 24 packaged false true 1024 - Packaged true
python3 -c 'import base64, json, sys; sys.stdout.buffer.write(base64.b64decode(json.loads(sys.stdin.read())["success"]))' \
  <<<"$out" >"$work/request.der" || true
check "installed ankor makes a request that openssl verifies" 1 \
  "$(openssl req -inform DER -in "$work/request.der" -noout -verify 2>&1 | grep -c 'verify OK' || true)"

# Orvask in the machine's data directory, with the database postinst made from the
# shipped schema (the template in /usr/share has the same tables).
state=/var/lib/tarvo/orvask
mkdir "$work/orvask"
sqlite3 "$work/orvask/Orvask.db" </usr/share/tarvo/orvask/schema.sql
check "the machine's database holds the schema" "$(sqlite3 "$work/orvask/Orvask.db" .schema)" \
  "$(sqlite3 "$state/Orvask.db" .schema)"
check "and the template too" "$(sqlite3 "$work/orvask/Orvask.db" .schema)" "$(sqlite3 /usr/share/tarvo/orvask/Orvask.db .schema)"
check "the machine's database is no file of the package" 0 "$(grep -c "^$state" <<<"$files" || true)"
verdict() { sed -n 's/^\t\t\t"id" : \([0-9]*\),$/\1/p' "$work/orvask/out"; }
orvask() { (cd "$state" && run /usr/bin/Orvask "$@"; echo "$status" >"$work/orvask/status"; printf '%s' "$out" >"$work/orvask/out"); }
list=$(printf '{"content":[{"name":"%s","productcode":"%s:%s","version":"1.2.8"}]}' "$package" "$package" "$arch" | base64 -w0)
orvask UpdateBlackList "$list"
check "black list updated" "0 61465" "$(cat "$work/orvask/status") $(verdict)"
orvask VerifyMachine
check "the installed package is found on the black list" 61464 "$(verdict)"
check "listed under its dpkg identity" "$package:$arch" "$(sed -n 's/^\t\t\t\t"uuid" : "\(.*\)"$/\1/p' "$work/orvask/out")"
check "the log is written there" 1 "$([ -s "$state/OrvaskApp.log" ] && echo 1 || echo 0)"
# A white-list row as a verification with the drive mounted would store it.
sqlite3 "$state/Orvask.db" "INSERT INTO TBWhiteList (Name, Version, ProductCode) VALUES ('accepted', '1', 'accepted:all')"
lists() { sqlite3 "$state/Orvask.db" "SELECT ProductCode FROM TBBlackList; SELECT ProductCode FROM TBWhiteList" | xargs; }
expected_lists="$package:$arch accepted:all"
check "the lists" "$expected_lists" "$(lists)"

# The lists stay through a reinstall, an upgrade and a removal.
apt install --reinstall "$TARVO_DEB"
check "lists kept by apt-get install --reinstall" "$expected_lists" "$(lists)"
mkdir "$work/newer"
dpkg-deb -R "$TARVO_DEB" "$work/newer/root"
sed -i 's/^Version: .*/Version: 1.2.9/' "$work/newer/root/DEBIAN/control"
dpkg-deb -b --root-owner-group "$work/newer/root" "$work/newer/tarvo_1.2.9.deb" >/dev/null
apt install "$work/newer/tarvo_1.2.9.deb"
check "upgraded" 1.2.9 "$(dpkg-query -W -f='${Version}' "$package")"
check "lists kept by the upgrade" "$expected_lists" "$(lists)"
apt remove "$package"
check "lists kept by a removal" "$expected_lists" "$(lists)"
apt install "$TARVO_DEB"
check "and found by the next installation" "$expected_lists" "$(lists)"

# Java: the installed sources compiled, the installed library found by the JVM's own
# search path; the identifier is the one the build's library computes.
mkdir "$work/classes"
javac -d "$work/classes" /usr/share/tarvo/java/org/tarvo/hostmark/*.java
run java -cp "$work/classes" org.tarvo.hostmark.Hostmark
installed_id=$out
check "Java binding through the installed library" 0 "$status"
run java -Djava.library.path="$TARVO_BIN" -cp "$work/classes" org.tarvo.hostmark.Hostmark
check "same identifier as the build's library" "$out" "$installed_id"

# Removal: the package and every file it installed are gone.
apt purge "$package"
check "purged" "" "$(installed)"
left=$(while IFS= read -r path; do
  if [ -e "$path" ] || [ -L "$path" ]; then
    [ -d "$path" ] && [ ! -L "$path" ] && [ "$(ls -A "$path")" ] && continue  # shared directory
    echo "$path"
  fi
done <<<"$files")
check "nothing of the package is left" "" "$left"
check "purge removes the lists and the log" 0 "$([ -e /var/lib/tarvo ] && echo 1 || echo 0)"
check "the library is gone from the linker's cache" 0 "$(ldconfig -p | grep -c libTarvoHostmark_V_1_0_1_0 || true)"

finish
