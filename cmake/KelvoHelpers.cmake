# Small helpers so that a subsystem folder only names its library, the
# libraries it needs and, where it has some, its extra sources.
#
# Sources are taken from the folder by pattern. OS-specific code sits in
# backend files beside the unit they serve, <unit>_posix.cpp and
# <unit>_win32.cpp; only the one for the target system is compiled.

function(kelvo_collect_sources out dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  set(result)
  foreach(src ${srcs})
    get_filename_component(name ${src} NAME_WE)
    if(WIN32 AND name MATCHES "_posix$")
      continue()
    endif()
    if(NOT WIN32 AND name MATCHES "_win32$")
      continue()
    endif()
    list(APPEND result ${src})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# kelvo_library(<name> [EXCLUDE file...] [DEPS lib...])
# A static library of every source in the current folder.
function(kelvo_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  kelvo_collect_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(ex ${ARG_EXCLUDE})
    list(REMOVE_ITEM srcs ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    # Headers only, so far.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# kelvo_test(<name> [DEPS lib...] [LABELS label...])
# One GoogleTest program of every source in the current folder, registered
# with CTest test by test. Labels let the test script pick, for example,
# the threaded programs for the ThreadSanitizer run.
function(kelvo_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "DEPS;LABELS" ${ARGN})
  kelvo_collect_sources(srcs ${CMAKE_CURRENT_SOURCE_DIR})
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  if(CMAKE_CROSSCOMPILING)
    # Under Wine every start of a program costs a second or two: run each
    # test program once, as one CTest test.
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "${name};${ARG_LABELS}")
  else()
    gtest_discover_tests(${name}
      DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT ${ARG_TIMEOUT})
    # gtest_discover_tests flattens a list-valued property ("LABELS a;b"
    # would become LABELS a plus a stray property b), so the labels are set
    # by a script that runs after the discovered tests have been added.
    set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${label_script}
      "foreach(t IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${name};${ARG_LABELS}\")\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
  endif()
endfunction()

# kelvo_test_again(<name> PREFIX <prefix> FILTER <gtest filter> ENV <VAR=VALUE>...
#                  [LABELS label...])
# Registers the tests of the program <name> (made by kelvo_test) that match
# FILTER once more, named <prefix><test>, with the environment ENV: the
# same tests against another mode of a simulator. Native builds only; the
# labels are the program's, the prefix and LABELS.
function(kelvo_test_again name)
  cmake_parse_arguments(ARG "" "PREFIX;FILTER;TIMEOUT" "ENV;LABELS" ${ARGN})
  if(NOT TARGET ${name} OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  string(MAKE_C_IDENTIFIER "${name}_${ARG_PREFIX}" list_name)
  gtest_discover_tests(${name}
    TEST_PREFIX "${ARG_PREFIX}"
    TEST_FILTER "${ARG_FILTER}"
    TEST_LIST ${list_name}_TESTS
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  # Environment and labels are lists: set after discovery, as kelvo_test does.
  set(label_script ${CMAKE_CURRENT_BINARY_DIR}/${list_name}_again.cmake)
  string(REPLACE ";" "\\;" env "${ARG_ENV}")
  string(REGEX REPLACE "[^A-Za-z0-9_-]+$" "" prefix_label "${ARG_PREFIX}")
  file(WRITE ${label_script}
    "foreach(t IN LISTS ${list_name}_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES LABELS \"${name};${prefix_label};${ARG_LABELS}\" ENVIRONMENT \"${env}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_script})
endfunction()
