# Linux build of the portable code: unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, libFuzzer targets when the compiler is clang, and the
# store's stamping tool.
set(QV_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${QV_SANITIZE})
add_link_options(-fsanitize=address,undefined)

find_package(GTest REQUIRED)

add_library(qv_foundation STATIC ${QV_PORTABLE_SOURCES} ${QV_FOUNDATION_POSIX_SOURCES})
qv_strict(qv_foundation)
target_include_directories(qv_foundation PUBLIC ${PROJECT_SOURCE_DIR}/src)

add_library(qv_stamp STATIC tools/stamp/stamp.cpp)
qv_strict(qv_stamp)
target_include_directories(qv_stamp PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tools/stamp)

# The store runs the tool once per sale, so it is built plain and optimised: the
# sanitizers' start-up alone costs about 0.1 s of CPU a copy. Its logic is tested under
# them in the unit tests through qv_stamp.
add_executable(quarryvale-stamp tools/stamp/main.cpp tools/stamp/stamp.cpp)
qv_strict(quarryvale-stamp)
target_include_directories(quarryvale-stamp PRIVATE ${PROJECT_SOURCE_DIR}/tools/stamp)
target_compile_options(quarryvale-stamp PRIVATE -fno-sanitize=all -O2)
target_link_options(quarryvale-stamp PRIVATE -fno-sanitize=all)

add_executable(unit_tests
    tests/unit/util_test.cpp
    tests/unit/product_list_test.cpp
    tests/unit/download_status_test.cpp
    tests/unit/form_body_test.cpp
    tests/unit/sha256_test.cpp
    tests/unit/hash_feed_test.cpp
    tests/unit/frame_test.cpp
    tests/unit/stamp_test.cpp)
qv_strict(unit_tests)
target_link_libraries(unit_tests PRIVATE qv_foundation qv_stamp GTest::gtest_main)
target_compile_definitions(unit_tests PRIVATE QV_STAMP_TOOL="$<TARGET_FILE:quarryvale-stamp>")
add_dependencies(unit_tests quarryvale-stamp)
gtest_discover_tests(unit_tests DISCOVERY_MODE PRE_TEST)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # The fuzzer compiles the portable sources itself so that they carry coverage
    # instrumentation; the library above has none.
    add_executable(response_fuzz tests/fuzz/response_fuzz.cpp ${QV_PORTABLE_SOURCES}
                                 ${QV_FOUNDATION_POSIX_SOURCES})
    qv_strict(response_fuzz)
    target_compile_options(response_fuzz PRIVATE -fsanitize=fuzzer)
    target_link_options(response_fuzz PRIVATE -fsanitize=fuzzer)
    # Every seed, and every crash once fixed and added, stays a regression test.
    add_test(NAME response_fuzz.corpus
             COMMAND response_fuzz -runs=0 ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus)
endif()
