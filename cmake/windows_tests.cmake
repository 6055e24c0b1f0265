# Windows tests, run under Wine by ctest.
# The hash's unit test runs here too: the program ships what this compiler makes of it;
# and the hashing thread's feed, here with the system's own lock and conditions as well.
add_executable(win_tests tests/win/util_win_test.cpp tests/win/storable_name_test.cpp
                         tests/win/folder_win_test.cpp
                         tests/win/path_win_test.cpp tests/unit/sha256_test.cpp
                         tests/unit/hash_feed_test.cpp)
qv_strict(win_tests)
target_link_libraries(win_tests PRIVATE qv_platform gtest gtest_main)
# Wine names Unix files through the locale's character set: UTF-8 holds every script.
gtest_discover_tests(win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES ENVIRONMENT LC_ALL=C.UTF-8)
# The store's names once more as a Japanese buyer's copy reads them: Wine takes the ANSI
# code page from the Unix locale, so the run gets a private ja_JP locale (code page 932).
set(QV_LOCALES ${CMAKE_BINARY_DIR}/locales)
file(MAKE_DIRECTORY ${QV_LOCALES})
add_test(NAME japanese_locale COMMAND localedef -i ja_JP -f UTF-8 ${QV_LOCALES}/ja_JP.UTF-8)
set_tests_properties(japanese_locale PROPERTIES FIXTURES_SETUP japanese_locale)
add_test(NAME win_tests.storable_names_in_code_page_932
         COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:win_tests>
                 --gtest_filter=StorableName.*)
set_tests_properties(win_tests.storable_names_in_code_page_932 PROPERTIES
    FIXTURES_REQUIRED japanese_locale
    ENVIRONMENT "LOCPATH=${QV_LOCALES};LC_ALL=ja_JP.UTF-8;QV_REQUIRED_CODE_PAGE=932")

# Stamped copies of a real Windows executable: the stamping logic is portable.
add_executable(token_probe tests/win/token_probe.cpp)
qv_strict(token_probe)
target_link_libraries(token_probe PRIVATE qv_platform)

add_executable(shell_win_tests tests/win/main_thread_test.cpp tests/win/token_block_test.cpp
                               tests/win/window_art_test.cpp tests/win/program_resources_test.cpp
                               ${QV_GENERATED}/about.cpp
                               tools/stamp/stamp.cpp)
qv_strict(shell_win_tests)
target_include_directories(shell_win_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/stamp)
target_link_libraries(shell_win_tests PRIVATE qv_platform gtest gtest_main)
add_dependencies(shell_win_tests token_probe quarryvale-downloader)
gtest_discover_tests(shell_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)

# Makes the prefix trust the local store's test authority.
add_executable(qv-trust-ca tools/store/trust_ca.cpp)
qv_strict(qv-trust-ca)
target_link_libraries(qv-trust-ca PRIVATE crypt32)

# Tests that need the store run through with-store.sh, which starts it in the private
# network namespace of tests/sandbox.sh; they share its ports, so they run one by one.
add_library(qv_store_fixture STATIC tests/win/store_fixture.cpp)
qv_strict(qv_store_fixture)
target_link_libraries(qv_store_fixture PUBLIC qv_net gtest)

function(qv_store_test name)
    add_executable(${name} ${ARGN})
    qv_strict(${name})
    target_link_libraries(${name} PRIVATE qv_store_fixture gtest_main)
    add_dependencies(${name} qv-trust-ca)
    add_test(NAME ${name}
             COMMAND ${PROJECT_SOURCE_DIR}/tools/store/with-store.sh ${QV_WINEPREFIX}
                     ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK store_ports SKIP_RETURN_CODE 77
                                            TIMEOUT 180 ENVIRONMENT QV_STORE_HOST=${QV_STORE_HOST})
endfunction()

qv_store_test(net_tests tests/win/net_test.cpp)
qv_store_test(query_tests tests/win/query_test.cpp)
# The screen's own file against stand-ins for the screens around it.
qv_store_test(sign_in_tests tests/win/sign_in_test.cpp src/screens/sign_in.cpp)

# The download's state machine against stand-ins for its screen and engine.
add_executable(download_control_tests tests/win/download_control_test.cpp
                                      src/download/control.cpp)
qv_strict(download_control_tests)
target_link_libraries(download_control_tests PRIVATE qv_net gtest gtest_main)
gtest_discover_tests(download_control_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)

# The installer's last check on real files, against stand-ins for the download screen.
add_executable(installer_check_tests tests/win/installer_check_test.cpp
                                     src/download/disk_check.cpp src/download/product.cpp
                                     src/download/state.cpp)
qv_strict(installer_check_tests)
target_link_libraries(installer_check_tests PRIVATE qv_net gtest gtest_main)
gtest_discover_tests(installer_check_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
