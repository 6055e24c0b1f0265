# The network modules (transport and form query), their Windows tests against the
# local store, and the helper that makes the prefix trust the store's test authority.
add_library(qv_net STATIC
    src/net/net.cpp
    src/net/query.cpp
    src/net/form_body.cpp
    src/net/error_text.cpp)
qv_strict(qv_net)
target_include_directories(qv_net PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qv_net PUBLIC qv_core wininet)

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
qv_store_test(sign_in_tests tests/win/sign_in_test.cpp src/screens/sign_in.cpp)

# The program signs in through these modules.
if(TARGET quarryvale-downloader)
    target_link_libraries(quarryvale-downloader PRIVATE qv_net)
endif()
