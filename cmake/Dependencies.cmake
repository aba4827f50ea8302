# The system's outside libraries, all from Debian's -dev packages.
find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(CURL REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
