# Native additions of the shell: the frame rules in the portable library and their
# tests, and the store's stamping tool with its tests.
target_sources(qv_core PRIVATE src/shell/frame.cpp)

add_library(qv_stamp STATIC tools/stamp/stamp.cpp)
qv_strict(qv_stamp)
target_include_directories(qv_stamp PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tools/stamp)

add_executable(quarryvale-stamp tools/stamp/main.cpp)
qv_strict(quarryvale-stamp)
target_link_libraries(quarryvale-stamp PRIVATE qv_stamp)

add_executable(shell_unit_tests tests/unit/frame_test.cpp tests/unit/stamp_test.cpp)
qv_strict(shell_unit_tests)
target_link_libraries(shell_unit_tests PRIVATE qv_core qv_stamp GTest::gtest_main)
target_compile_definitions(shell_unit_tests PRIVATE
    QV_STAMP_TOOL="$<TARGET_FILE:quarryvale-stamp>")
add_dependencies(shell_unit_tests quarryvale-stamp)
gtest_discover_tests(shell_unit_tests DISCOVERY_MODE PRE_TEST)
