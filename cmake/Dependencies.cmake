# Every dependency comes from Debian; a missing one stops here with the package to install.
# The same list is in tools/debian-packages.txt, which the setup scripts install.
find_package(PkgConfig)
if(NOT PKG_CONFIG_FOUND)
  message(FATAL_ERROR "pkg-config not found: apt-get install pkgconf")
endif()

find_package(OpenCV 4 QUIET COMPONENTS core imgproc imgcodecs dnn)
if(NOT OpenCV_FOUND)
  message(FATAL_ERROR "OpenCV 4 not found: apt-get install libopencv-dev")
endif()

# libwebp itself: the service asks it which bodies the image library would take
# as WebP, with the same call the library makes.
pkg_check_modules(WEBP QUIET IMPORTED_TARGET libwebp)
if(NOT WEBP_FOUND)
  message(FATAL_ERROR "libwebp not found: apt-get install libwebp-dev")
endif()

find_package(OpenSSL QUIET COMPONENTS Crypto)
if(NOT OpenSSL_FOUND)
  message(FATAL_ERROR "OpenSSL libcrypto not found: apt-get install libssl-dev")
endif()

pkg_check_modules(HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
if(NOT HTTPLIB_FOUND)
  message(FATAL_ERROR "cpp-httplib not found: apt-get install libcpp-httplib-dev")
endif()

# Request bodies' content codings are undone with these (gzip and deflate; br).
pkg_check_modules(ZLIB QUIET IMPORTED_TARGET zlib)
if(NOT ZLIB_FOUND)
  message(FATAL_ERROR "zlib not found: apt-get install zlib1g-dev")
endif()
pkg_check_modules(BROTLIDEC QUIET IMPORTED_TARGET libbrotlidec)
if(NOT BROTLIDEC_FOUND)
  message(FATAL_ERROR "libbrotlidec not found: apt-get install libbrotli-dev")
endif()

find_path(EASYLOGGING_INCLUDE_DIR easylogging++.h)
if(NOT EASYLOGGING_INCLUDE_DIR OR NOT EXISTS "${EASYLOGGING_INCLUDE_DIR}/easylogging++.cc")
  message(FATAL_ERROR "easylogging++ not found: apt-get install libeasyloggingpp-dev")
endif()

find_path(PICOJSON_INCLUDE_DIR picojson.h)
if(NOT PICOJSON_INCLUDE_DIR)
  message(FATAL_ERROR "picojson not found: apt-get install picojson-dev")
endif()

find_package(Threads REQUIRED)

if(NORVANE_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "GoogleTest not found: apt-get install libgtest-dev")
  endif()
  include(GoogleTest)
endif()

# The service tests and the decoder's fuzz target write brotli bodies themselves.
if(NORVANE_BUILD_TESTS OR NORVANE_FUZZ)
  pkg_check_modules(BROTLIENC QUIET IMPORTED_TARGET libbrotlienc)
  if(NOT BROTLIENC_FOUND)
    message(FATAL_ERROR "libbrotlienc not found: apt-get install libbrotli-dev")
  endif()
endif()
