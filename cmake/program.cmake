# The program itself, its resources and the shell's Windows tests. Included from
# cmake/windows.cmake after the shared library exists.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_package(Git QUIET)

set(QV_GENERATED ${CMAKE_BINARY_DIR}/generated)
set(QV_ARTWORK_SCRIPT ${PROJECT_SOURCE_DIR}/tools/artwork/make_artwork.py)

add_custom_command(OUTPUT ${QV_GENERATED}/artwork_images.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_GENERATED}
    COMMAND ${Python3_EXECUTABLE} ${QV_ARTWORK_SCRIPT} images ${QV_GENERATED}/artwork_images.cpp
    DEPENDS ${QV_ARTWORK_SCRIPT}
    COMMENT "Drawing the logo and the close glyph")
add_custom_command(OUTPUT ${QV_GENERATED}/quarryvale.ico
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_GENERATED}
    COMMAND ${Python3_EXECUTABLE} ${QV_ARTWORK_SCRIPT} icon ${QV_GENERATED}/quarryvale.ico
    DEPENDS ${QV_ARTWORK_SCRIPT}
    COMMENT "Drawing the program's icon")

# Shell code and data that other modules' Windows tests may link.
target_sources(qv_core PRIVATE
    src/shell/frame.cpp
    src/shell/main_thread.cpp
    src/shell/window_art.cpp
    src/resources/artwork.cpp
    src/resources/token_block.cpp
    ${QV_GENERATED}/artwork_images.cpp)

set(QV_PROGRAM_SOURCES
    src/shell/main.cpp
    src/screens/sign_in.cpp
    src/screens/download.cpp
    src/screens/finished.cpp)

# The About text is rewritten whenever the program's sources change or a commit is
# made, so that its build time and revision describe the build.
set(QV_REVISION_DEPENDS)
if(Git_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --absolute-git-dir
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE QV_GIT_DIR
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(EXISTS ${QV_GIT_DIR}/logs/HEAD)
        list(APPEND QV_REVISION_DEPENDS ${QV_GIT_DIR}/logs/HEAD)
    endif()
endif()
add_custom_command(OUTPUT ${QV_GENERATED}/about.cpp
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DOUTPUT=${QV_GENERATED}/about.cpp -P ${PROJECT_SOURCE_DIR}/cmake/build_info.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/build_info.cmake ${QV_PROGRAM_SOURCES} qv_core
            ${QV_REVISION_DEPENDS}
    COMMENT "Stamping the About text with the build time and revision")

set(QV_ICON_FILE ${QV_GENERATED}/quarryvale.ico)
set(QV_MANIFEST_FILE ${PROJECT_SOURCE_DIR}/src/resources/program.manifest)
configure_file(src/resources/program.rc.in ${QV_GENERATED}/program.rc @ONLY)
set_source_files_properties(${QV_GENERATED}/program.rc PROPERTIES
    OBJECT_DEPENDS "${QV_ICON_FILE};${QV_MANIFEST_FILE};${PROJECT_SOURCE_DIR}/src/resources/resource.h")

add_executable(quarryvale-downloader WIN32 ${QV_PROGRAM_SOURCES}
    ${QV_GENERATED}/about.cpp ${QV_GENERATED}/program.rc)
# Not qv_strict: its options would reach the resource compiler too.
target_compile_options(quarryvale-downloader PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror>)
target_include_directories(quarryvale-downloader PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(quarryvale-downloader PRIVATE qv_core)
# Every buyer downloads it: no symbols.
target_link_options(quarryvale-downloader PRIVATE -s)

# The stamping logic is portable; here it stamps real Windows executables.
add_executable(token_probe tests/win/token_probe.cpp)
qv_strict(token_probe)
target_link_libraries(token_probe PRIVATE qv_core)

add_executable(shell_win_tests tests/win/main_thread_test.cpp tests/win/token_block_test.cpp
                               tests/win/window_art_test.cpp tests/win/program_resources_test.cpp
                               ${QV_GENERATED}/about.cpp
                               tools/stamp/stamp.cpp)
qv_strict(shell_win_tests)
target_include_directories(shell_win_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/stamp)
target_link_libraries(shell_win_tests PRIVATE qv_core gtest gtest_main)
add_dependencies(shell_win_tests token_probe quarryvale-downloader)
gtest_discover_tests(shell_win_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120)
