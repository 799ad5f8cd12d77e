# Helpers shared by the folders' CMakeLists.

macro(korvalot_add_optional dir)
  if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
    add_subdirectory(${dir})
  endif()
endmacro()

# The core (util, json, fetch, crawl) is standard C++ only. The check runs at every build and
# fails it when a core source names a Qt header; the core libraries also never link Qt.
add_custom_target(korvalot_no_qt_check
  COMMAND ${CMAKE_COMMAND} -DROOT=${PROJECT_SOURCE_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/CheckNoQt.cmake
  COMMENT "Checking that the core does not use Qt")

# korvalot_core_library(name sources...): a static library of the Qt-free core.
function(korvalot_core_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  add_dependencies(${name} korvalot_no_qt_check)
endfunction()

# korvalot_add_gtest(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [COST s])
# A GoogleTest executable whose cases CTest lists one by one. The label "threaded" marks tests
# that CI also runs under ThreadSanitizer; "app" marks the Qt window tests. COST, about the
# seconds its longest case takes, lets a parallel CTest start the long cases first even where it
# has no timings of an earlier run yet (a fresh clone, as in CI), so that none of them is left
# running alone at the end.
function(korvalot_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT;COST" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # A list inside PROPERTIES must keep its ";" escaped, or its second item reads as a name.
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_COST)
    list(APPEND props COST ${T_COST})
  endif()
  if(T_LABELS)
    string(REPLACE ";" "\\;" labels "${T_LABELS}")
    list(APPEND props LABELS "${labels}")
  endif()
  # Listing the cases of a sanitized program on a busy machine can take longer than the default
  # five seconds.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# korvalot_man_page(program): the program's manual page in section 1, gzipped and installed.
# help2man makes it at build time from the program's own --help and --version (in Russian, as
# the program speaks), adding the sections of docs/man/<program>.h2m when that file exists; a
# program without a command line has its page written once as docs/man/<program>.1 instead.
find_program(KORVALOT_GZIP gzip REQUIRED)
function(korvalot_man_page program)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
  set(written ${PROJECT_SOURCE_DIR}/docs/man/${program}.1)
  set(include ${PROJECT_SOURCE_DIR}/docs/man/${program}.h2m)
  if(EXISTS ${written})
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${written} ${page}
      COMMAND ${KORVALOT_GZIP} -9nf ${page}
      DEPENDS ${written}
      COMMENT "Manual page ${program}(1)" VERBATIM)
  else()
    find_program(KORVALOT_HELP2MAN help2man REQUIRED)
    set(args --no-info --locale=ru_RU.UTF-8 --output=${page})
    set(depends ${program})
    if(EXISTS ${include})
      list(APPEND args --include=${include})
      list(APPEND depends ${include})
    endif()
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${KORVALOT_HELP2MAN} ${args} $<TARGET_FILE:${program}>
      COMMAND ${KORVALOT_GZIP} -9nf ${page}
      DEPENDS ${depends}
      COMMENT "Manual page ${program}(1) from its --help" VERBATIM)
  endif()
  add_custom_target(${program}_man_page ALL DEPENDS ${page}.gz)
  include(GNUInstallDirs)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
