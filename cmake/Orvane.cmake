# Shared build settings and helpers for every target of the project.

if(WIN32)
  # Windows programs run under Wine. The prefix lives in the build tree; scripts/test and
  # scripts/demo create it once and start the wineserver before anything runs.
  set(ORV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  # A 64-bit program needs a win64 prefix and Wine's 64-bit loader (which starts 32-bit
  # programs of that prefix too); the 32-bit build keeps its win32 prefix.
  if(ORV_WIN64)
    set(ORV_WINEARCH win64)
    set(ORV_WINE /usr/lib/wine/wine64)
  else()
    set(ORV_WINEARCH win32)
    set(ORV_WINE wine)
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601
                          _WIN32_IE=0x0600)
endif()

# Host programs of the tests (Python scripts) run as ${Python3_EXECUTABLE}, never as the
# imported Python3::Interpreter target: CTest puts the Wine launcher in front of an executable
# target, and Wine reports exit 0 whatever a Linux program returns, so the test could not fail.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The publisher's web site, defined once for every deliverable (the About boxes' links).
set(ORV_WEB_SITE "https://quillfen.example/")

# orv_version_header(NAME PREFIX VERSION): generates NAME.h with PREFIX_VERSION_MAJOR, _MINOR,
# _BUILD, _REVISION and _TEXT from a four-part VERSION, and ORV_WEB_SITE, for the program and
# its resource script. Every target finds it through the generated folder.
include_directories(${CMAKE_BINARY_DIR}/generated)
function(orv_version_header name prefix version)
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts count)
  if(NOT count EQUAL 4)
    message(FATAL_ERROR "version ${version} of ${name} does not have four parts")
  endif()
  list(GET parts 0 ORV_V_MAJOR)
  list(GET parts 1 ORV_V_MINOR)
  list(GET parts 2 ORV_V_BUILD)
  list(GET parts 3 ORV_V_REVISION)
  set(ORV_V_PREFIX ${prefix})
  set(ORV_V_TEXT ${version})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/${name}.h
                 @ONLY)
endfunction()

# Warnings on, none left.
function(orv_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(ORV_SANITIZE AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# GoogleTest: Debian's libraries natively, built from /usr/src/googletest for Windows.
if(WIN32)
  if(NOT TARGET gtest)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  endif()
  set(ORV_GTEST_LIBS gtest gmock)
else()
  find_package(GTest REQUIRED)
  set(ORV_GTEST_LIBS GTest::gtest GTest::gmock)
endif()

# orv_add_gtest(name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [MAIN] [LAUNCHER cmd ...])
# One test program is one ctest test: starting a Windows process under Wine costs about a
# second, so per-case registration would multiply the suite's run time. LAUNCHER runs the
# program through a command of ours (e.g. one that starts a server for it first).
# A Windows program that crashes under Wine prints Wine's crash report, but its exit status is
# not always non-zero (under the 64-bit wineserver a crashed 32-bit program can end with 0): the
# report itself fails the test.
set(ORV_CRASH_REPORT "Unhandled (exception|page fault)")
function(orv_fail_on_crash test)
  set_tests_properties(${test} PROPERTIES FAIL_REGULAR_EXPRESSION "${ORV_CRASH_REPORT}")
endfunction()

function(orv_add_gtest name)
  cmake_parse_arguments(T "NO_MAIN" "TIMEOUT" "SOURCES;LIBS;LABELS;LAUNCHER" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  orv_warnings(${name})
  if(T_NO_MAIN)
    target_link_libraries(${name} PRIVATE ${T_LIBS} ${ORV_GTEST_LIBS})
  else()
    if(WIN32)
      target_link_libraries(${name} PRIVATE ${T_LIBS} ${ORV_GTEST_LIBS} gtest_main)
    else()
      target_link_libraries(${name} PRIVATE ${T_LIBS} ${ORV_GTEST_LIBS} GTest::gtest_main)
    endif()
  endif()
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  if(T_LAUNCHER)
    add_test(NAME ${name} COMMAND ${T_LAUNCHER} ${CMAKE_CROSSCOMPILING_EMULATOR}
                                  $<TARGET_FILE:${name}> --gtest_brief=1)
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                                          ENVIRONMENT "ORV_SOURCE_DIR=${CMAKE_SOURCE_DIR};ORV_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(WIN32)
    orv_fail_on_crash(${name})
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
