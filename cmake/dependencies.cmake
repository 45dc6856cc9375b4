# Third-party libraries: Debian's -dev packages natively, the static mingw
# builds of scripts/setup.sh (in .deps/mingw32) for Windows. Each is exposed
# under a quasto:: name so the rest of the build does not care which.

if(WIN32)
  find_path(EXPAT_INCLUDE expat.h REQUIRED)
  find_library(EXPAT_LIB NAMES expat libexpat expatMD REQUIRED)
  add_library(quasto::expat INTERFACE IMPORTED)
  target_include_directories(quasto::expat INTERFACE ${EXPAT_INCLUDE})
  target_link_libraries(quasto::expat INTERFACE ${EXPAT_LIB})
  target_compile_definitions(quasto::expat INTERFACE XML_STATIC)

  find_path(LZMA_INCLUDE lzma.h REQUIRED)
  find_library(LZMA_LIB NAMES liblzma.a lzma REQUIRED)
  add_library(quasto::lzma INTERFACE IMPORTED)
  target_include_directories(quasto::lzma INTERFACE ${LZMA_INCLUDE})
  target_link_libraries(quasto::lzma INTERFACE ${LZMA_LIB})
  target_compile_definitions(quasto::lzma INTERFACE LZMA_API_STATIC)

  find_path(SODIUM_INCLUDE sodium.h REQUIRED)
  find_library(SODIUM_LIB NAMES libsodium.a sodium REQUIRED)
  add_library(quasto::sodium INTERFACE IMPORTED)
  target_include_directories(quasto::sodium INTERFACE ${SODIUM_INCLUDE})
  # advapi32: the library's random source on Windows.
  target_link_libraries(quasto::sodium INTERFACE ${SODIUM_LIB} advapi32)
  target_compile_definitions(quasto::sodium INTERFACE SODIUM_STATIC)

  find_path(CRYPTO_INCLUDE openssl/evp.h REQUIRED)
  find_library(CRYPTO_LIB NAMES libcrypto.a REQUIRED)
  # A library of its own (not just a list of files) so that the linker gets
  # it after every library that needs it, as libssh2 below does.
  add_library(quasto::crypto STATIC IMPORTED)
  set_target_properties(quasto::crypto PROPERTIES IMPORTED_LOCATION ${CRYPTO_LIB})
  target_include_directories(quasto::crypto INTERFACE ${CRYPTO_INCLUDE})
  # What the static library takes from the system: sockets for its BIOs,
  # the system's random source and certificate store.
  target_link_libraries(quasto::crypto INTERFACE ws2_32 crypt32 bcrypt advapi32 user32)

  find_path(BZIP2_INCLUDE bzlib.h REQUIRED)
  find_library(BZIP2_LIB NAMES libbz2.a bz2 REQUIRED)
  add_library(quasto::bzip2 INTERFACE IMPORTED)
  target_include_directories(quasto::bzip2 INTERFACE ${BZIP2_INCLUDE})
  target_link_libraries(quasto::bzip2 INTERFACE ${BZIP2_LIB})
  # The static library's functions, as it was built; without this the header
  # declares pointers for loading a DLL.
  target_compile_definitions(quasto::bzip2 INTERFACE BZ_EXPORT)
  # libcurl on Schannel, the system's own TLS and trust store; libssh2 on
  # the static libcrypto above, which the programs carry anyway: its key
  # exchange does not depend on what the system's CNG provides. Nothing to
  # ship beside the programs.
  find_path(CURL_INCLUDE curl/curl.h REQUIRED)
  find_library(CURL_LIB NAMES libcurl.a curl REQUIRED)
  find_library(SSH2_LIB NAMES libssh2.a ssh2 REQUIRED)
  add_library(quasto::ssh2 STATIC IMPORTED)
  set_target_properties(quasto::ssh2 PROPERTIES IMPORTED_LOCATION ${SSH2_LIB})
  target_link_libraries(quasto::ssh2 INTERFACE quasto::crypto ws2_32)
  add_library(quasto::curl STATIC IMPORTED)
  set_target_properties(quasto::curl PROPERTIES IMPORTED_LOCATION ${CURL_LIB})
  target_include_directories(quasto::curl INTERFACE ${CURL_INCLUDE})
  target_link_libraries(quasto::curl INTERFACE quasto::ssh2 ws2_32 crypt32 bcrypt advapi32
                        secur32)
  target_compile_definitions(quasto::curl INTERFACE CURL_STATICLIB)
else()
  find_package(EXPAT REQUIRED)
  find_package(LibLZMA REQUIRED)
  add_library(quasto::expat ALIAS EXPAT::EXPAT)
  add_library(quasto::lzma ALIAS LibLZMA::LibLZMA)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(quasto::sodium ALIAS PkgConfig::SODIUM)
  find_package(OpenSSL REQUIRED COMPONENTS Crypto)
  add_library(quasto::crypto ALIAS OpenSSL::Crypto)
  find_package(BZip2 REQUIRED)
  add_library(quasto::bzip2 ALIAS BZip2::BZip2)
  find_package(CURL REQUIRED)
  add_library(quasto::curl ALIAS CURL::libcurl)
endif()

# Suffix arrays for the patch encoder.
find_path(DIVSUFSORT_INCLUDE divsufsort.h REQUIRED)
find_library(DIVSUFSORT_LIB NAMES libdivsufsort.a divsufsort REQUIRED)
add_library(quasto::divsufsort INTERFACE IMPORTED)
target_include_directories(quasto::divsufsort INTERFACE ${DIVSUFSORT_INCLUDE})
target_link_libraries(quasto::divsufsort INTERFACE ${DIVSUFSORT_LIB})

# RapidJSON is header-only; setup.sh links Debian's headers into the mingw
# prefix, so that the Windows build never sees the host's /usr/include.
find_path(RAPIDJSON_INCLUDE rapidjson/document.h REQUIRED)
add_library(quasto::rapidjson INTERFACE IMPORTED)
target_include_directories(quasto::rapidjson INTERFACE ${RAPIDJSON_INCLUDE})

if(QUASTO_TESTS)
  find_package(GTest REQUIRED)
  add_library(quasto::gtest_main INTERFACE IMPORTED)
  target_link_libraries(quasto::gtest_main INTERFACE GTest::gtest GTest::gtest_main GTest::gmock)
endif()
