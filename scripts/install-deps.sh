#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Dialwise needs.
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

PKGS=(
  # build
  build-essential cmake ninja-build pkg-config git clang libclang-rt-dev clang-format
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev qt6-image-formats-plugins
  qt6-webengine-dev libqt6webenginecore6-bin
  zlib1g-dev libjpeg-dev libzip-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libmpv-dev
  libpulse-dev libgtest-dev libbenchmark-dev libxcb1-dev
  # running the program and the demo world
  xvfb xauth x11-utils imagemagick fonts-dejavu-core fonts-liberation2 xdg-utils
  # drawing the default skin (scripts/make-default-skin.py)
  python3-pil
  icecast2 ffmpeg espeak-ng sox curl dbus dbus-x11
  # real peers used by the tests
  ngircd dante-server microsocks tinyproxy vsftpd pulseaudio pulseaudio-utils
  iproute2 procps audacious mpv mpv-mpris playerctl xdotool
  # drawing song notifications for the screenshot in docs/
  dunst
  # signatures of updates
  libsodium-dev
  # the directory's databases (Qt SQL drivers, and PostgreSQL for its tests)
  libqt6sql6-sqlite libqt6sql6-psql postgresql
  # building and checking the Debian packages (scripts/package.sh, package-check.sh)
  dpkg-dev fakeroot file gzip desktop-file-utils appstream lintian debootstrap
  # the Radio Browser stand-ins: a certificate for HTTPS, the trusted authorities
  openssl ca-certificates
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -q
# icecast2 asks debconf questions; take the defaults.
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
