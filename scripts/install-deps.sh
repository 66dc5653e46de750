#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need.
# Quiet and quick when everything is present; runs apt-get only for what is missing.
#   --clang   also clang and its sanitizer runtimes (scripts/clang-check.sh, the libFuzzer programs)
set -euo pipefail

with_clang=0
for arg in "$@"; do
  case "$arg" in
    --clang) with_clang=1 ;;
    *) echo "install-deps: unknown option $arg (known: --clang)" >&2; exit 2 ;;
  esac
done

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  coreutils
  python3                       # the layer check (scripts/check_layers.py)
  libxxhash-dev                 # XXH3 digests
  libmbedtls-dev                # TLS client of kxps:// connections (mbedTLS 2.28)
  liblz4-dev                    # LZ4 block packing
  python3-lz4                   # LZ4 blocks for the compressed-image oracle of the tests (/usr/bin/python3)
  python3-snappy                # snappy chunks of the AFF4 test images (/usr/bin/python3)
  python3-xxhash                # XXH3 digests of the kxsd test server (/usr/bin/python3)
  xxhash openssl                # xxhsum and openssl dgst: digest oracles of the tests
  libbenchmark-dev libssl-dev   # bench/: digest micro-benchmarks against OpenSSL
  fdisk gdisk parted            # sfdisk, sgdisk and parted: partition-table fixtures of the tests
  tcpdump                       # reads the capture-file log output in the tests
  zlib1g-dev                    # deflate streams of the VMDK writer and of AFF4 chunks
  libsnappy-dev                 # snappy chunks of AFF4 images (the AFF4 library also uses liblz4, zlib)
  libserd-dev                   # the Turtle reader of AFF4 metadata (information.turtle)
  # The image libraries the image-library driver loads at run time (the -dev
  # packages bring their unversioned .so names), and the tools that make the
  # tests' images: qemu-img and qemu-io (VMDK, VHD, VHDX, QCOW2, VDI), ewfacquire (EWF).
  libvmdk-dev libvhdi-dev libewf-dev libsmraw-dev libqcow-dev
  qemu-utils ewf-tools
  tinyproxy microsocks dante-server  # HTTP CONNECT, SOCKS5 and SOCKS4 proxies of the network tests
  libcurl4                      # transfers of the http, https, ftp and ftps URL driver (loaded at its first open)
  libcurl4-openssl-dev          # the headers of those transfers, and the library for the tests that call it
  nginx vsftpd                  # HTTP(S) and FTP(S) servers of the URL driver tests
)
if [ "$with_clang" -eq 1 ]; then
  packages+=(clang libclang-rt-dev)   # clang++ and its ASan, UBSan and libFuzzer runtimes
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo=(sudo); else
    echo "install-deps: missing packages (${missing[*]}) and no root rights to install them" >&2
    exit 1
  fi
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq >&2
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
