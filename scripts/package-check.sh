#!/usr/bin/env bash
# Builds the Debian packages and tries them as a new user would:
#   scripts/package-check.sh WORK_DIR
#  1. scripts/package.sh into WORK_DIR/build (or the packages already in the folder
#     DIALWISE_PACKAGE_DEBS);
#  2. desktop-file-validate, appstreamcli validate and lintian (errors and warnings fail;
#     a warning that stays is explained in the package's lintian override file);
#  3. in a fresh Debian 12 root (debootstrap, kept in DIALWISE_PACKAGE_CACHE, default
#     /var/cache/dialwise-package, and used through an overlay so that it stays fresh):
#     apt-get install of the three packages, "dialwise --version", the program's window
#     under Xvfb, the desktop's handler of "dialwise:" links, and apt-get purge leaving no
#     file of the packages behind.
# Needs root (debootstrap, chroot, mounts). Exit code 77: skipped (not root, outside CI).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:?usage: package-check.sh WORK_DIR}
mkdir -p "$work"
work=$(cd "$work" && pwd)
cache=${DIALWISE_PACKAGE_CACHE:-/var/cache/dialwise-package}

step() { echo "=== package-check: $* ($SECONDS s)"; }
fail() {
  echo "package-check: FAILED: $*" >&2
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then
  [ -n "${CI:-}" ] && fail "needs root (debootstrap, chroot)"
  echo "package-check: skipped: needs root (debootstrap, chroot)"
  exit 77
fi
for tool in debootstrap lintian desktop-file-validate appstreamcli Xvfb xdotool; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done

# --- 1. the packages ---------------------------------------------------------------
debdir=${DIALWISE_PACKAGE_DEBS:-}
if [ -z "$debdir" ]; then
  step "building the packages"
  debdir=$work/build
  DIALWISE_PACKAGE_NO_DEPS=1 bash "$root/scripts/package.sh" "$debdir" >"$work/package.log" 2>&1 ||
    { tail -40 "$work/package.log"; fail "scripts/package.sh"; }
fi
mapfile -t debs < <(ls "$debdir"/dialwise*_*.deb)
[ "${#debs[@]}" -eq 3 ] || fail "expected 3 packages, got: ${debs[*]}"
for d in "${debs[@]}"; do
  printf '  %s  %s bytes, installed %s KiB\n' "$(basename "$d")" "$(stat -c %s "$d")" \
    "$(dpkg-deb -f "$d" Installed-Size)"
done

# --- 2. validators -------------------------------------------------------------------
step "validating the desktop entry, the AppStream data and the packages"
extract=$work/extract
rm -rf "$extract"
for d in "${debs[@]}"; do dpkg-deb -x "$d" "$extract"; done
desktop-file-validate "$extract/usr/share/applications/org.dialwise.Dialwise.desktop"
appstreamcli validate --no-net "$extract/usr/share/metainfo/org.dialwise.Dialwise.metainfo.xml"
if command -v systemd-analyze >/dev/null; then
  # The unit names programs by their installed paths: check it against the extracted tree.
  sed "s#/usr/bin/#$extract/usr/bin/#g" "$extract/lib/systemd/system/dialwise-directory.service" \
    >"$work/dialwise-directory.service"
  systemd-analyze verify --man=no "$work/dialwise-directory.service" 2>&1 |
    grep -v "^$" | tee "$work/unit.log" || true
  [ ! -s "$work/unit.log" ] || fail "systemd-analyze verify"
fi
# Lintian reads the override files from the packages themselves.
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" ||
  fail "lintian found errors or warnings"

# --- 3. a fresh Debian 12 ------------------------------------------------------------
mkdir -p "$cache"
base=$cache/bookworm-minbase
exec 9>"$cache/lock"
flock 9
if [ ! -x "$base/usr/bin/apt-get" ]; then
  mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)\/* *$/\1/p' /etc/apt/sources.list.d/*.sources \
    2>/dev/null | head -1)
  [ -n "$mirror" ] ||
    mirror=$(awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
  mirror=${mirror:-http://deb.debian.org/debian}
  step "making the Debian 12 root from $mirror (once per machine)"
  rm -rf "$base.tmp"
  debootstrap --variant=minbase bookworm "$base.tmp" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -20 "$work/debootstrap.log"; fail "debootstrap"; }
  # The package lists are fetched once with it (apt-get update again below when stale).
  chroot "$base.tmp" apt-get update -q >>"$work/debootstrap.log" 2>&1 || fail "apt-get update in the root"
  rm -rf "$base" && mv "$base.tmp" "$base"
fi
if ! ls "$base"/var/lib/apt/lists/*_Packages* >/dev/null 2>&1; then
  chroot "$base" apt-get update -q >"$work/update.log" 2>&1 || fail "apt-get update in the root"
fi
mkdir -p "$cache/archives/partial"

sys=$work/root
mounts=()
xvfb_pid=""
app_pid=""
# Removes the root's folders, never while anything (the host's /dev, the package cache) is
# still mounted inside them.
remove_root() {
  if awk -v r="$work/" 'index($2 "/", r) == 1 { found = 1 } END { exit !found }' /proc/mounts; then
    echo "package-check: still mounted under $work, not removed" >&2
    return 1
  fi
  rm -rf "$work/upper" "$work/ovwork" "$sys" "$extract"
}
cleanup() {
  local rc=$?
  set +e
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[$i]}" 2>/dev/null || true; done
  remove_root
  flock -u 9 || true
  exit $rc
}
trap cleanup EXIT
remove_root || exit 1
mkdir -p "$work/upper" "$work/ovwork" "$sys"
if mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/ovwork" "$sys" 2>/dev/null; then
  mounts+=("$sys")
else
  step "no overlay here: copying the root"
  cp -a "$base/." "$sys/"
fi
mount_in() { # mount_in ARGS... TARGET
  mount "$@"
  mounts+=("${!#}")
}
mount_in -t proc proc "$sys/proc"
mount_in --bind /dev "$sys/dev"
mount_in --bind /dev/pts "$sys/dev/pts"
mount_in --bind "$cache/archives" "$sys/var/cache/apt/archives"
mkdir -p "$sys/tmp/.X11-unix"
mount_in --bind /tmp/.X11-unix "$sys/tmp/.X11-unix"
in_root() { chroot "$sys" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

mkdir -p "$sys/tmp/debs"
cp "${debs[@]}" "$sys/tmp/debs/"
find "$sys" -xdev \( -path "$sys/proc" -o -path "$sys/dev" -o -path "$sys/tmp" \) -prune -o -print |
  sed "s#^$sys##" | sort >"$work/files-before"

step "apt-get install of the packages"
install_pkgs() {
  # (No syncing of each unpacked file: the root is thrown away.)
  in_root sh -c 'cd /tmp/debs && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
    -o DPkg::Options::=--force-unsafe-io \
    ./dialwise_*.deb ./dialwise-directory_*.deb ./dialwise-caster_*.deb'
}
if ! install_pkgs >"$work/install.log" 2>&1; then
  # The root's package lists may have gone stale since it was made.
  in_root apt-get update -q >>"$work/install.log" 2>&1
  install_pkgs >>"$work/install.log" 2>&1 || { tail -30 "$work/install.log"; fail "apt-get install"; }
fi
grep -E "^(Need to get|After this operation)" "$work/install.log" | sed 's/^/  /' || true

step "the installed programs"
version=$(in_root dialwise --version)
[ "$version" = "Dialwise $(dpkg-deb -f "$debdir"/dialwise_*.deb Version)" ] ||
  fail "dialwise --version said: $version"
echo "  $version"
in_root dialwise-directory --help >/dev/null || fail "dialwise-directory --help"
in_root dialwise-caster --help >/dev/null || fail "dialwise-caster --help"
[ -L "$sys/etc/systemd/system/multi-user.target.wants/dialwise-directory.service" ] ||
  fail "the directory service is not enabled"
handler=$(in_root xdg-mime query default x-scheme-handler/dialwise)
[ "$handler" = "org.dialwise.Dialwise.desktop" ] || fail "xdg-mime names \"$handler\" for dialwise: links"
echo "  xdg-mime: dialwise: links open with $handler"

step "the program's window under Xvfb"
display=""
for n in $(seq 200 240); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
  Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  display=:$n
  for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  break
done
[ -n "$display" ] && [ -e "/tmp/.X11-unix/X${display#:}" ] || fail "no Xvfb display"
mkdir -p "$sys/tmp/runtime" && chmod 700 "$sys/tmp/runtime"
# A user's first start: no settings yet, no desktop session. The built-in addresses point
# at loopback only.
chroot "$sys" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  DISPLAY="$display" XDG_RUNTIME_DIR=/tmp/runtime QTWEBENGINE_DISABLE_SANDBOX=1 \
  QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu dialwise >"$work/dialwise.log" 2>&1 &
app_pid=$!
# The main window: a viewable normal window titled "Dialwise" (the splash screen has that
# title too; windows may vanish while they are looked at).
main_window() {
  local id type
  for id in $(DISPLAY=$display xdotool search --name '^Dialwise$' 2>/dev/null); do
    DISPLAY=$display xwininfo -id "$id" 2>/dev/null | grep -q 'Map State: IsViewable' || continue
    type=$(DISPLAY=$display xprop -id "$id" _NET_WM_WINDOW_TYPE 2>/dev/null) || continue
    [[ $type == *NORMAL* && $type != *SPLASH* ]] || continue
    echo "$id"
    return 0
  done
  return 1
}
win=""
for _ in $(seq 180); do
  win=$(main_window) && break
  kill -0 "$app_pid" 2>/dev/null || { tail -20 "$work/dialwise.log"; fail "dialwise ended"; }
  sleep 0.5
done
[ -n "$win" ] || { tail -20 "$work/dialwise.log"; fail "no Dialwise window within 90 s"; }
# The main window is up; give the first paint a moment before the picture.
sleep 3
DISPLAY=$display import -window root "$work/installed.png" 2>/dev/null || true
echo "  main window $win (picture: $work/installed.png)"
kill -TERM "$app_pid"
for _ in $(seq 100); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "dialwise did not end on SIGTERM"
wait "$app_pid" || true
app_pid=""
# Installed, the program finds its data in the installed prefix and leaves the desktop's
# link handling to the package.
[ -f "$sys/root/.local/share/dialwise/skins/default/skin.ini" ] ||
  fail "the default skin was not copied from /usr/share/dialwise"
[ ! -e "$sys/root/.local/share/applications/dialwise.desktop" ] ||
  fail "the installed program wrote its own desktop entry"
[ ! -e "$sys/root/.config/mimeapps.list" ] || fail "the installed program changed mimeapps.list"

step "apt-get purge"
# As if the service had run: its files under /var/lib.
mkdir -p "$sys/var/lib/private/dialwise-directory"
echo post >"$sys/var/lib/private/dialwise-directory/forums.txt"
ln -sfn private/dialwise-directory "$sys/var/lib/dialwise-directory"
in_root dpkg -L dialwise dialwise-directory dialwise-caster | sort -u >"$work/package-files"
in_root env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q dialwise dialwise-directory \
  dialwise-caster >"$work/purge.log" 2>&1 || { tail -20 "$work/purge.log"; fail "apt-get purge"; }
left=$(while read -r f; do
  # Folders the packages share with others stay; files and their own folders go.
  [ -e "$sys$f" ] || [ -L "$sys$f" ] || continue
  [ -d "$sys$f" ] && grep -qx "$f" "$work/files-before" && continue
  [ -d "$sys$f" ] && [ -n "$(ls -A "$sys$f")" ] && continue
  [ -d "$sys$f" ] && in_root dpkg-query -S "$f" >/dev/null 2>&1 && continue
  echo "$f"
done <"$work/package-files")
# Anything else named after the packages, outside the user's home and dpkg's records.
left+=$(cd "$sys" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./root \
  -o -path ./var/lib/dpkg -o -path ./var/cache/apt -o -path ./var/log \) -prune -o \
  -iname '*dialwise*' -print | sed 's/^\.//')
[ -z "$left" ] || fail "purge left behind: $left"
echo "  nothing of the packages is left"
step "done"
