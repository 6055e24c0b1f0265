# The program and the Windows test executables, cross-compiled with mingw-w64 and
# linked statically so that they need no DLL that Windows does not ship.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
add_link_options(-static -static-libgcc -static-libstdc++)
# Only what is used: the program is downloaded by every buyer.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)

# Tests run under Wine in a prefix that belongs to this build tree.
set(QV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${QV_WINEPREFIX})

# GoogleTest from Debian's sources, built with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(qv_core STATIC ${PORTABLE_SOURCES}
    src/foundation/util_win.cpp
    src/shell/shell_state.cpp)
qv_strict(qv_core)
target_include_directories(qv_core PUBLIC ${PROJECT_SOURCE_DIR}/src)

add_executable(win_tests tests/win/util_win_test.cpp)
qv_strict(win_tests)
target_link_libraries(win_tests PRIVATE qv_core gtest gtest_main)
gtest_discover_tests(win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
include(cmake/program.cmake)
include(cmake/e2e.cmake)
include(cmake/net.cmake)
