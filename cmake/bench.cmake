# Benchmarks: built with everything else so that they keep compiling, but never run by
# ctest. bench/README.md says how to run them.
add_executable(net_bench bench/net_bench.cpp)
qv_strict(net_bench)
target_link_libraries(net_bench PRIVATE qv_net)

# The bare download loop that bench/download.sh holds the program's figures against.
add_executable(download_loop bench/download_loop.cpp)
qv_strict(download_loop)
target_link_libraries(download_loop PRIVATE wininet user32)

# The platform's SHA-256 against the program's own, per 32 KB read.
add_executable(hash_bench bench/hash_bench.cpp)
qv_strict(hash_bench)
target_link_libraries(hash_bench PRIVATE qv_foundation bcrypt)
