# The program itself and its resources. Included from cmake/windows.cmake after the
# libraries it links.
find_package(Git QUIET)

add_custom_command(OUTPUT ${QV_GENERATED}/quarryvale.ico
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_GENERATED}
    COMMAND ${Python3_EXECUTABLE} ${QV_ARTWORK_SCRIPT} icon ${QV_GENERATED}/quarryvale.ico
    DEPENDS ${QV_ARTWORK_SCRIPT}
    COMMENT "Drawing the program's icon")

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
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/build_info.cmake src/shell/main.cpp ${QV_PROGRAM_SOURCES}
            qv_net
            ${QV_REVISION_DEPENDS}
    COMMENT "Stamping the About text with the build time and revision")

set(QV_ICON_FILE ${QV_GENERATED}/quarryvale.ico)
set(QV_MANIFEST_FILE ${PROJECT_SOURCE_DIR}/src/resources/program.manifest)
configure_file(src/resources/program.rc.in ${QV_GENERATED}/program.rc @ONLY)
set_source_files_properties(${QV_GENERATED}/program.rc PROPERTIES
    OBJECT_DEPENDS "${QV_ICON_FILE};${QV_MANIFEST_FILE};${PROJECT_SOURCE_DIR}/src/resources/resource.h")

add_executable(quarryvale-downloader WIN32 src/shell/main.cpp ${QV_PROGRAM_SOURCES}
    ${QV_GENERATED}/about.cpp ${QV_GENERATED}/program.rc)
# Not qv_strict: its options would reach the resource compiler too.
target_compile_options(quarryvale-downloader PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Werror>)
target_include_directories(quarryvale-downloader PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(quarryvale-downloader PRIVATE qv_net ${QV_DELAY_comctl32} shell32)
# Every buyer downloads it: no symbols.
target_link_options(quarryvale-downloader PRIVATE -s)

# Stands in for a product's installer in the tests, the benchmark and the demo.
add_executable(qv-demo-installer WIN32 tools/demo-installer/demo_installer.cpp)
qv_strict(qv-demo-installer)
target_link_libraries(qv-demo-installer PRIVATE user32)
