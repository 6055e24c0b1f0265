# Linux build of the portable code: unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and libFuzzer targets when the compiler is clang.
set(QV_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${QV_SANITIZE})
add_link_options(-fsanitize=address,undefined)

find_package(GTest REQUIRED)

add_library(qv_core STATIC ${PORTABLE_SOURCES} src/foundation/util_posix.cpp)
qv_strict(qv_core)
target_include_directories(qv_core PUBLIC ${PROJECT_SOURCE_DIR}/src)

add_executable(unit_tests
    tests/unit/util_test.cpp
    tests/unit/download_parse_test.cpp)
qv_strict(unit_tests)
target_link_libraries(unit_tests PRIVATE qv_core GTest::gtest_main)
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # The fuzzer compiles the portable sources itself so that they carry coverage
    # instrumentation; the library above has none.
    add_executable(response_fuzz tests/fuzz/response_fuzz.cpp ${PORTABLE_SOURCES}
                                 src/foundation/util_posix.cpp)
    qv_strict(response_fuzz)
    target_compile_options(response_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_options(response_fuzz PRIVATE -fsanitize=fuzzer)
    # Every seed, and every crash once fixed and added, stays a regression test.
    add_test(NAME response_fuzz.corpus
             COMMAND response_fuzz -runs=0 ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
endif()
include(cmake/stamp.cmake)

# The portable half of the network modules and its tests.
target_sources(qv_core PRIVATE src/net/form_body.cpp src/net/error_text.cpp)
target_sources(unit_tests PRIVATE tests/unit/form_body_test.cpp)
