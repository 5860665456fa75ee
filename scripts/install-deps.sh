#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and benchmark BrevantPlayer.
# Idempotent: packages already present are skipped by apt.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-remoteobjects-dev libqt6remoteobjects6-bin
  libtag1-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libmpg123-dev libsoxr-dev
  libcurl4-openssl-dev libpulse-dev
  pulseaudio pulseaudio-utils ffmpeg icecast2 curl
  pipewire pipewire-pulse wireplumber dbus-daemon
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
