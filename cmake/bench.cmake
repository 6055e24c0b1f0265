# Benchmarks: built with everything else so that they keep compiling, but never run by
# ctest. bench/README.md says how to run them.
add_executable(net_bench bench/net_bench.cpp)
qv_strict(net_bench)
target_link_libraries(net_bench PRIVATE qv_net)
