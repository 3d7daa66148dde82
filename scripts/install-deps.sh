#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need.
# Only what is missing is installed, so on a prepared machine this is a no-op.
set -euo pipefail

packages=(
  build-essential cmake pkg-config python3
  luajit libluajit-5.1-dev
  libpcap-dev libck-dev libgnutls28-dev liblmdb-dev
  liblz4-dev libzstd-dev zlib1g-dev liblzma-dev libnghttp2-dev
  libfstrm-dev libprotobuf-c-dev protobuf-c-compiler fstrm-bin dnstap-ldns
  libgtest-dev googletest
  lz4 zstd xz-utils gzip
  unbound gnutls-bin lmdb-utils tcpdump dnsperf wireshark-common
  tshark python3-scapy iproute2 python3-h2
  clang libclang-rt-14-dev
  man-db groff-base bash-completion dpkg-dev
  python3-jsonschema chromium time
  slurm-wlm munge
  python3-lmdb python3-dnspython
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg -s "$pkg" >/dev/null 2>&1; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
