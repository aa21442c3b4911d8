#!/usr/bin/env bash
# Installs every Debian package nlayer needs to build, test and run.
# A no-op when everything is already there; otherwise one `apt-get update`, then one install.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libalglib-dev
  qt6-base-dev qt6-charts-dev qt6-svg-dev libqt6opengl6-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libhwy-dev librandom123-dev libcli11-dev libtomlplusplus-dev
  libceres-dev libeigen3-dev nlohmann-json3-dev
  xvfb xauth fonts-liberation
  clang libclang-rt-14-dev
  locales
  python3 python3-dev pybind11-dev python3-numpy python3-pytest
  python3-venv python3-setuptools python3-pip python3-wheel
  python3-distributed python3-tqdm python3-matplotlib python3-h5py python3-hypothesis
  python3-mne
  dpkg-dev file
  help2man desktop-file-utils
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The tests check that a German user's decimal comma never reaches an output file.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if [[ -f /etc/locale.gen ]] && ! grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen; then
    echo 'de_DE.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  fi
  $SUDO locale-gen >/dev/null
fi
