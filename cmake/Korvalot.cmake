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

# korvalot_add_gtest(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s])
# A GoogleTest executable whose cases CTest lists one by one. The label "threaded" marks tests
# that CI also runs under ThreadSanitizer; "app" marks the Qt window tests.
function(korvalot_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                                        Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  # A list inside PROPERTIES must keep its ";" escaped, or its second item reads as a name.
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    string(REPLACE ";" "\\;" labels "${T_LABELS}")
    list(APPEND props LABELS "${labels}")
  endif()
  # Listing the cases of a sanitized program on a busy machine can take longer than the default
  # five seconds.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
