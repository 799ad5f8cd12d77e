# The Debian package: `cpack -G DEB` in the build folder makes korvalot_<version>-1_amd64.deb
# with the three programs, their manual pages, the desktop entry and the icon, the bash completion of
# korvalot-harvest, its systemd service and timer (shipped disabled) with their settings in
# /etc/default/korvalot-harvest, and the copyright file and changelog; dpkg-shlibdeps finds the
# libraries it needs. The Debian-only files are here, in cmake/debian/.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "korvalot")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# The first packaging of this version; a new one of the same sources counts up.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "korvalot developers <korvalot@korvalot.example>")
# The synopsis, then the long description: one paragraph a line of at most 80 characters,
# paragraphs apart by an empty line (CPack indents them and writes the " ." lines).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "harvester of a public register of bankruptcy trades")
set(CPACK_PACKAGE_DESCRIPTION [=[
korvalot collects the trades of a public web register of bankruptcy trades
for the chosen regions, trade types and dates, and writes one line per lot
into a semicolon-separated results file, and on request into a workbook.

The package holds two programs on one engine: korvalot, a window for the
operator, which opens the results in the desktop's spreadsheet, and
korvalot-harvest, the same harvest from the command line for cron and
systemd. A systemd timer for a harvest every morning is shipped disabled:
set the selection in /etc/default/korvalot-harvest and enable the timer.

Both can keep every harvest in a local SQLite trade store that follows
open trades to their outcome; korvalot-export writes the stored lots a
filter chooses in the results file's format or as a workbook, and
korvalot-watch keeps saved searches that tell what is new by mail,
Telegram, a webhook, a feed or standard output, once and never twice.

korvalot-store, also opened from the window with Ctrl+B, browses the
store: it finds lots among a million as the user types, shows a trade's
change history and a lot's price over the runs, and exports what it shows.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The desktop opens results with xdg-open; the channels of watches check every server's
# certificate against the system's certificates.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, ca-certificates")
# The trade store needs SQLite with write-ahead logging and FTS5 (Debian's has both since
# 3.9); dpkg-shlibdeps finds the library too, this keeps the lowest version the store relies on
# (UPSERT).
# libcurl from 7.85 on: the channels name the protocols a transfer may use
# (CURLOPT_PROTOCOLS_STR).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libsqlite3-0 (>= 3.24), libcurl4 (>= 7.85)")
# One package of everything, the files of the "debian" component (the system's folders, which
# cmake --install into a prefix leaves out) included.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/cmake/debian/conffiles;${PROJECT_SOURCE_DIR}/cmake/debian/postinst;${PROJECT_SOURCE_DIR}/cmake/debian/prerm;${PROJECT_SOURCE_DIR}/cmake/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# /usr/share/doc/korvalot: the machine-readable copyright file and the changelog, compressed
# as Debian wants it (gzip -9n: no name or time stamp inside).
set(_changelog ${CMAKE_BINARY_DIR}/debian/changelog.Debian)
add_custom_command(OUTPUT ${_changelog}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${_changelog}
  COMMAND ${KORVALOT_GZIP} -9nf ${_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/cmake/debian/changelog VERBATIM)
add_custom_target(korvalot_debian_changelog ALL DEPENDS ${_changelog}.gz)
include(GNUInstallDirs)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_changelog}.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
include(CPack)
