# The end-to-end tier's Windows side: the test driver, which tests/e2e/harness.py talks
# to over stdin and stdout, and a stand-in window the driver's own tests run against.
# The groups themselves run from tests/e2e/run.sh, one sandbox each, not from ctest.
add_executable(qv-driver
    tests/e2e/driver/driver.cpp
    tests/e2e/driver/commands.cpp
    tests/e2e/driver/controls.cpp
    tests/e2e/driver/dialogs.cpp
    tests/e2e/driver/others.cpp
    tests/e2e/driver/probes.cpp
    tests/e2e/driver/screen.cpp)
qv_strict(qv-driver)
target_link_libraries(qv-driver PRIVATE user32 gdi32)

# Loaded into the program under test by the driver's message hook to read fonts there.
add_library(qv-probe SHARED tests/e2e/driver/probe.cpp)
qv_strict(qv-probe)
set_target_properties(qv-probe PROPERTIES PREFIX "")
target_link_libraries(qv-probe PRIVATE user32 gdi32)
add_dependencies(qv-driver qv-probe)

add_executable(qv-fixture-window WIN32 tests/e2e/fixture_window.cpp)
qv_strict(qv-fixture-window)
target_link_libraries(qv-fixture-window PRIVATE user32 gdi32)

# A wininet.dll and a comctl32.dll that record being loaded, for the test that plants them
# beside a copy of the program. In a folder of their own: nothing in bin/ may load them.
foreach(dll wininet comctl32)
    add_library(qv-planted-${dll} SHARED tests/e2e/planted_dll.cpp)
    qv_strict(qv-planted-${dll})
    set_target_properties(qv-planted-${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted
                          ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/planted)
    add_dependencies(qv-driver qv-planted-${dll})
endforeach()
