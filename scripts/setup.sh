#!/usr/bin/env bash
# Installs everything the builds and tests need on Debian 12, then builds the
# libraries that the 32-bit Windows build links statically. Every step checks
# whether it is already done, so a second run takes a few seconds.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS=$ROOT/.deps
PREFIX=$DEPS/mingw32
HOST=i686-w64-mingw32

log() { printf '[setup] %s\n' "$*" >&2; }

SUDO=
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

# --- Debian packages ---------------------------------------------------------
PACKAGES=(
  build-essential cmake ninja-build pkg-config git ca-certificates dpkg-dev
  libexpat1-dev liblzma-dev rapidjson-dev libgtest-dev libgmock-dev googletest
  libcurl4-openssl-dev libsodium-dev libssl-dev minisign libdivsufsort-dev libbz2-dev
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix
  binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine32:i386
  xvfb xauth x11-utils imagemagick fonts-liberation
  python3 python3-pyftpdlib locales clang strace
  autoconf automake libtool gettext autopoint po4a
  nginx bc time xz-utils curl openssl ccache
  bsdiff zstd
  openssh-server openssh-client vsftpd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A mirror in the middle of a sync fails an index or two; the packages
  # wanted are usually still found in the lists that did arrive.
  if ! $SUDO apt-get update -q; then
    log "apt-get update reported errors; installing from the lists it has"
  fi
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  log "Debian packages present"
fi

# --- Locales -----------------------------------------------------------------
# Wine takes the user's language and the encoding of file names from the
# locale: the GUI tests run German and English, with names outside ASCII.
for loc in de_DE en_US; do
  if ! locale -a 2>/dev/null | grep -qix "$loc.utf8"; then
    log "generating the locale $loc.UTF-8"
    $SUDO sed -i "s/^# *\($loc.UTF-8 UTF-8\)/\1/" /etc/locale.gen
    grep -q "^$loc.UTF-8 UTF-8" /etc/locale.gen || echo "$loc.UTF-8 UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    $SUDO locale-gen >/dev/null
  fi
done

# --- Font caches ---------------------------------------------------------------
# Xvfb and Wine read the fonts through fontconfig; a stale cache would make
# their first start rebuild it inside a timed wait. fc-cache only updates
# what is out of date, so a second run costs nothing.
fc-cache >/dev/null 2>&1 || true

# --- Windows dependencies ----------------------------------------------------
# Sources come from Debian's own source packages. A private apt configuration
# (lists, cache, deb-src entries) keeps the machine's apt setup untouched.
mkdir -p "$DEPS/src" "$PREFIX"
APT=$DEPS/apt
apt_opts() {
  printf '%s\n' -o "Dir::Etc::SourceList=$APT/sources.list" \
    -o "Dir::Etc::SourceParts=$APT/sources.list.d" \
    -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" \
    -o APT::Sandbox::User=root
}
apt_private() { local IFS=$'\n'; apt-get -q $(apt_opts) "$@"; }
apt_cache_private() { local IFS=$'\n'; apt-cache $(apt_opts) "$@"; }

fetch_sources() {
  [ -f "$APT/.updated" ] && return 0
  log "reading Debian's source lists into $APT"
  rm -rf "$APT"
  mkdir -p "$APT/sources.list.d" "$APT/lists/partial" "$APT/cache/archives/partial"
  : > "$APT/sources.list"
  # Mirror the machine's binary entries as source entries.
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >> "$APT/sources.list"
  fi
  for f in /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >> "$APT/sources.list"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed 's/^Types:.*/Types: deb-src/' "$f" > "$APT/sources.list.d/$(basename "$f")"
  done
  apt_private update >/dev/null
  touch "$APT/.updated"
}

# Unpacks the source package $1 below $DEPS/src and prints its folder. Tries
# every version the lists know, newest first: a mirror may lack the newest
# source while it still serves the point release's.
source_dir() {
  local pkg=$1 dir v
  dir=$(find "$DEPS/src/$pkg" -mindepth 1 -maxdepth 1 -type d 2>/dev/null | head -n 1)
  if [ -z "$dir" ]; then
    fetch_sources
    rm -rf "$DEPS/src/$pkg"
    mkdir -p "$DEPS/src/$pkg"
    for v in $(apt_cache_private showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p' | sort -r -V -u); do
      if (cd "$DEPS/src/$pkg" && apt_private source "$pkg=$v" >/dev/null 2>&1); then
        break
      fi
      log "source $pkg=$v not available, trying an older one"
    done
    dir=$(find "$DEPS/src/$pkg" -mindepth 1 -maxdepth 1 -type d | head -n 1)
    if [ -z "$dir" ]; then
      log "could not fetch the source package $pkg"
      exit 1
    fi
  fi
  printf '%s\n' "$dir"
}

TOOLCHAIN=$ROOT/cmake/toolchain-mingw32.cmake

# --- The libraries' cache ----------------------------------------------------
# Building the libraries below takes minutes, and every new checkout on the
# machine (CI clones afresh) would build them again. A finished build is kept
# outside the checkout, under a key of the recipes below and the cross
# compiler, so that it is only taken while both are the same; a changed
# recipe builds anew.
STAMPS=(.expat .lzma .sodium .crypto .divsufsort .bzip2 .libssh2-openssl .curl .gtest)
all_built() {
  local s
  for s in "${STAMPS[@]}"; do [ -f "$PREFIX/$s" ] || return 1; done
}
CACHE_ROOT=${QUASTO_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quastorell-deps}
CACHE_KEY=$({ sed -n '/^TOOLCHAIN=/,$p' "${BASH_SOURCE[0]}"; "$HOST-g++" --version | head -n 1; } |
            sha256sum | cut -c1-16)
CACHE=$CACHE_ROOT/$CACHE_KEY
# Both directions are a help, never a condition: a cache that cannot be read
# or written (a full disk, a home without write access) means building.
take_cache() {
  rm -rf "$PREFIX" "$DEPS/src/7zip" && mkdir -p "$DEPS/src" &&
    cp -a "$CACHE/mingw32" "$PREFIX" && cp -a "$CACHE/7zip" "$DEPS/src/7zip" || return 1
  # libtool, pkg-config and CMake files name the prefix they were built in.
  local built_in from to f
  built_in=$(cat "$CACHE/prefix") || return 1
  if [ "$built_in" != "$PREFIX" ]; then
    from=$(printf '%s' "$built_in" | sed 's/[][\.*^$|]/\\&/g')
    to=$(printf '%s' "$PREFIX" | sed 's/[&|\]/\\&/g')
    while IFS= read -r f; do
      sed -i "s|$from|$to|g" "$f" || return 1
    done < <(grep -rlIF "$built_in" "$PREFIX" || true)
  fi
}
keep_cache() {
  local staging
  # Only the newest recipe's build is kept; the copy becomes the cache in one
  # rename, so a run stopped half-way leaves no cache that looks complete.
  mkdir -p "$CACHE_ROOT" || return 1
  find "$CACHE_ROOT" -mindepth 1 -maxdepth 1 -regextype posix-extended \
    -regex '.*/([0-9a-f]{16}|\.new\..*)' -exec rm -rf {} + || return 1
  staging=$(mktemp -d "$CACHE_ROOT/.new.XXXXXX") || return 1
  if cp -a "$PREFIX" "$staging/mingw32" && cp -a "$(dirname "$LZMA_SDK_SRC")" "$staging/7zip" &&
     printf '%s\n' "$PREFIX" > "$staging/prefix" && touch "$staging/complete" &&
     mv "$staging" "$CACHE"; then
    return 0
  fi
  rm -rf "$staging"
  return 1
}
if ! all_built && [ -f "$CACHE/complete" ]; then
  log "taking the libraries for $HOST from $CACHE"
  if ! take_cache; then
    log "the cache could not be taken; building the libraries"
    rm -rf "$PREFIX" "$DEPS/src/7zip"
  fi
fi

if [ ! -f "$PREFIX/.expat" ]; then
  src=$(source_dir expat)
  log "building expat for $HOST from $(basename "$src")"
  cmakesrc=$src
  [ -f "$src/expat/CMakeLists.txt" ] && cmakesrc=$src/expat
  rm -rf "$DEPS/build/expat"
  cmake -S "$cmakesrc" -B "$DEPS/build/expat" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DEXPAT_SHARED_LIBS=OFF -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF \
    -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF -DEXPAT_BUILD_PKGCONFIG=OFF >/dev/null
  # CMake defines XML_DTD and XML_NS empty; Debian's security patches test
  # "XML_DTD == 1", as the autotools build defines them.
  sed -i -E 's/^#define (XML_DTD|XML_NS)[[:space:]]*$/#define \1 1/' "$DEPS/build/expat/expat_config.h"
  cmake --build "$DEPS/build/expat" >/dev/null
  cmake --install "$DEPS/build/expat" >/dev/null
  touch "$PREFIX/.expat"
fi

if [ ! -f "$PREFIX/.lzma" ]; then
  src=$(source_dir xz-utils)
  log "building liblzma for $HOST from $(basename "$src")"
  rm -rf "$DEPS/build/xz"
  mkdir -p "$DEPS/build/xz"
  (cd "$DEPS/build/xz" &&
    "$src/configure" --host=$HOST --prefix="$PREFIX" \
      --enable-static --disable-shared --disable-xz --disable-xzdec \
      --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
      --disable-scripts --disable-doc --disable-nls --enable-threads=vista \
      CC=$HOST-gcc-posix >/dev/null &&
    make -j"$(nproc)" -C src/liblzma >/dev/null &&
    make -C src/liblzma install >/dev/null)
  touch "$PREFIX/.lzma"
fi

if [ ! -f "$PREFIX/.sodium" ]; then
  src=$(source_dir libsodium)
  log "building libsodium for $HOST from $(basename "$src")"
  # Debian's source ships without a generated configure script.
  [ -x "$src/configure" ] || (cd "$src" && autoreconf -fi >/dev/null 2>&1)
  rm -rf "$DEPS/build/sodium"
  mkdir -p "$DEPS/build/sodium"
  (cd "$DEPS/build/sodium" &&
    "$src/configure" --host=$HOST --prefix="$PREFIX" \
      --enable-static --disable-shared --disable-pie --with-pic=no \
      CC=$HOST-gcc-posix >/dev/null &&
    make -j"$(nproc)" -C src/libsodium >/dev/null &&
    make -C src/libsodium install >/dev/null)
  touch "$PREFIX/.sodium"
fi

if [ ! -f "$PREFIX/.crypto" ]; then
  # libcrypto for the content hashes: its SHA-256 uses the CPU's SHA
  # extensions (bench/sha256_eval.sh sets it against CNG). Only the library
  # is built, without its programs; it never reads a configuration file nor
  # loads a module, so nothing beside the program changes what it does.
  src=$(source_dir openssl)
  log "building libcrypto for $HOST from $(basename "$src")"
  rm -rf "$DEPS/build/openssl"
  mkdir -p "$DEPS/build/openssl/obj"
  cp -a "$src" "$DEPS/build/openssl/src"
  # Debian's pic.patch makes the 32-bit assembler position-independent the
  # ELF way; Windows objects have no GOT, so the copy built here goes without.
  (cd "$DEPS/build/openssl/src" && patch -R -p1 -s < debian/patches/pic.patch)
  (cd "$DEPS/build/openssl/obj" &&
    CC=$HOST-gcc-posix AR=$HOST-ar RANLIB=$HOST-ranlib RC=$HOST-windres \
      perl ../src/Configure mingw --prefix="$PREFIX" --libdir=lib \
      no-shared no-pic no-module no-tests no-engine no-dso no-async \
      no-comp no-ui-console no-legacy no-autoload-config >/dev/null &&
    make -j"$(nproc)" build_generated >/dev/null &&
    make -j"$(nproc)" libcrypto.a >/dev/null &&
    mkdir -p "$PREFIX/include/openssl" "$PREFIX/lib" &&
    cp ../src/include/openssl/*.h include/openssl/*.h "$PREFIX/include/openssl/" &&
    cp libcrypto.a "$PREFIX/lib/")
  touch "$PREFIX/.crypto"
fi

# The patch encoder's suffix sorting. 32-bit indexes: published files stay
# below 2 GiB.
if [ ! -f "$PREFIX/.divsufsort" ]; then
  src=$(source_dir libdivsufsort)
  log "building libdivsufsort for $HOST from $(basename "$src")"
  rm -rf "$DEPS/build/divsufsort"
  cmake -S "$src" -B "$DEPS/build/divsufsort" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF \
    -DBUILD_DIVSUFSORT64=OFF -DUSE_OPENMP=OFF -Wno-deprecated >/dev/null
  cmake --build "$DEPS/build/divsufsort" >/dev/null
  cmake --install "$DEPS/build/divsufsort" >/dev/null
  touch "$PREFIX/.divsufsort"
fi

# bzip2: one of the coders of a patch's streams (it suits new code and text).
if [ ! -f "$PREFIX/.bzip2" ]; then
  src=$(source_dir bzip2)
  log "building libbz2 for $HOST from $(basename "$src")"
  rm -rf "$DEPS/build/bzip2"
  mkdir -p "$DEPS/build/bzip2"
  cp -r "$src"/. "$DEPS/build/bzip2/"
  make -C "$DEPS/build/bzip2" -j"$(nproc)" libbz2.a CC=$HOST-gcc-posix AR=$HOST-ar \
    RANLIB=$HOST-ranlib CFLAGS="-O2 -D_FILE_OFFSET_BITS=64" >/dev/null
  mkdir -p "$PREFIX/include" "$PREFIX/lib"
  cp "$DEPS/build/bzip2/bzlib.h" "$PREFIX/include/"
  cp "$DEPS/build/bzip2/libbz2.a" "$PREFIX/lib/"
  touch "$PREFIX/.bzip2"
fi

# The builder's uploads (FTP, FTPS, SFTP) go through libcurl on both
# platforms. For Windows: libssh2 on the libcrypto built above, and libcurl
# on Schannel, so that FTPS trusts the system's certificate store; nothing
# else of libcurl is built that the uploads do not use. libssh2 once used
# Windows' CNG, which lacks on some systems what its key exchange needs; the
# marker names the back end, so that a machine with that build redoes it.
if [ ! -f "$PREFIX/.libssh2-openssl" ]; then
  src=$(source_dir libssh2)
  log "building libssh2 for $HOST on libcrypto from $(basename "$src")"
  rm -f "$PREFIX/.libssh2"
  rm -rf "$DEPS/build/libssh2"
  # CMake's search for OpenSSL wants libssl beside libcrypto (LIB_EAY and
  # SSL_EAY are its names for them with mingw), though libssh2 calls only
  # the latter; only libcrypto is built here, and a static library links
  # nothing, so both names point to it. libcrypto 3 has AES-CTR; the check
  # for it would link a program without the Windows libraries that a static
  # libcrypto needs, fail, and leave libssh2 on a slower CTR of its own.
  cmake -S "$src" -B "$DEPS/build/libssh2" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCRYPTO_BACKEND=OpenSSL \
    -DOPENSSL_INCLUDE_DIR="$PREFIX/include" \
    -DLIB_EAY="$PREFIX/lib/libcrypto.a" -DSSL_EAY="$PREFIX/lib/libcrypto.a" \
    -DHAVE_EVP_AES_128_CTR=1 \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF \
    -DENABLE_ZLIB_COMPRESSION=OFF -DCLEAR_MEMORY=ON >/dev/null
  cmake --build "$DEPS/build/libssh2" >/dev/null
  cmake --install "$DEPS/build/libssh2" >/dev/null
  touch "$PREFIX/.libssh2-openssl"
fi

if [ ! -f "$PREFIX/.curl" ]; then
  src=$(source_dir curl)
  log "building libcurl for $HOST from $(basename "$src")"
  rm -rf "$DEPS/build/curl"
  cmake -S "$src" -B "$DEPS/build/curl" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=ON -DCURL_USE_LIBSSH=OFF \
    -DCURL_ZLIB=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_USE_LIBPSL=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON \
    -DCURL_DISABLE_DICT=ON -DCURL_DISABLE_GOPHER=ON -DCURL_DISABLE_IMAP=ON \
    -DCURL_DISABLE_MQTT=ON -DCURL_DISABLE_POP3=ON -DCURL_DISABLE_RTSP=ON \
    -DCURL_DISABLE_SMB=ON -DCURL_DISABLE_SMTP=ON -DCURL_DISABLE_TELNET=ON \
    -DCURL_DISABLE_TFTP=ON -DCURL_DISABLE_FILE=ON >/dev/null
  cmake --build "$DEPS/build/curl" >/dev/null
  cmake --install "$DEPS/build/curl" >/dev/null
  touch "$PREFIX/.curl"
fi

if [ ! -f "$PREFIX/.gtest" ]; then
  log "building GoogleTest for $HOST from /usr/src/googletest"
  rm -rf "$DEPS/build/gtest"
  cmake -S /usr/src/googletest -B "$DEPS/build/gtest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$DEPS/build/gtest" >/dev/null
  cmake --install "$DEPS/build/gtest" >/dev/null
  touch "$PREFIX/.gtest"
fi

# The LZMA SDK's C encoder, from Debian's 7zip source: the packer's encoder
# for large files, compiled by both builds (shared/CMakeLists.txt).
LZMA_SDK_SRC=$(source_dir 7zip)
log "LZMA SDK source: $(basename "$LZMA_SDK_SRC")"

# RapidJSON is header-only and the same for every target.
mkdir -p "$PREFIX/include"
ln -sfn /usr/include/rapidjson "$PREFIX/include/rapidjson"

if [ ! -f "$CACHE/complete" ] && all_built; then
  log "keeping the libraries for $HOST in $CACHE"
  keep_cache || log "the libraries could not be kept in $CACHE_ROOT; a new clone builds them"
fi

log "ready"
