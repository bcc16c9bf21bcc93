# GoogleTest from source (Debian's googletest package, or GOOGLETEST_SOURCE_DIR), built with the same
# compiler as the code under test, and the helper that registers one test program with ctest.
set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(EXISTS ${GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
  add_library(gtest_main ALIAS GTest::gtest_main)
  add_library(gmock ALIAS GTest::gmock)
endif()

if(CMAKE_CROSSCOMPILING AND WIN32)
  # Every Windows test runs under Wine in the build tree's own prefix. One fixture makes the prefix
  # before the first test and ends its wineserver after the last, so nothing is left running.
  set(ORVANTA_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${ORVANTA_WINEPREFIX})
  add_test(NAME wine.prefix.setup COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix.sh ${ORVANTA_WINEPREFIX} setup)
  add_test(NAME wine.prefix.cleanup COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-prefix.sh ${ORVANTA_WINEPREFIX} cleanup)
  set_tests_properties(wine.prefix.setup PROPERTIES FIXTURES_SETUP wine)
  set_tests_properties(wine.prefix.cleanup PROPERTIES FIXTURES_CLEANUP wine)
endif()

# orvanta_add_test(NAME SOURCES ... [LIBS ...] [LOCKS_ENDPOINT] [TIMEOUT s])
# Builds one GoogleTest program and registers it as one ctest test. LOCKS_ENDPOINT marks tests that
# bind the fixed service endpoint, so ctest never runs two of them at once.
function(orvanta_add_test)
  cmake_parse_arguments(T "LOCKS_ENDPOINT" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gmock gtest_main orvanta_warnings)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(CMAKE_CROSSCOMPILING AND WIN32)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
  if(T_LOCKS_ENDPOINT)
    set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK endpoint_49877)
  endif()
endfunction()
