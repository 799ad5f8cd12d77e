# The Debian package: `cpack -G DEB` in the build folder makes korvalot_<version>_amd64.deb with
# both programs, the desktop entry and the icon; dpkg-shlibdeps finds the libraries it needs.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "korvalot")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "korvalot developers <korvalot@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Harvester of a public register of bankruptcy trades")
set(CPACK_PACKAGE_DESCRIPTION
    "korvalot collects the trades of a public register of bankruptcy trades into a\n spreadsheet file: a window for the operator (korvalot) and a program for\n scheduled runs (korvalot-harvest).")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The desktop opens results with xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# The trade store needs SQLite with write-ahead logging and FTS5 (Debian's has both since
# 3.9); dpkg-shlibdeps finds the library too, this keeps the lowest version the store relies on
# (UPSERT).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.24)")
include(CPack)
