# The program and the Windows test executables, cross-compiled with mingw-w64 and
# linked statically so that they need no DLL that Windows does not ship.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
add_link_options(-static -static-libgcc -static-libstdc++)
# Only what is used: the program is downloaded by every buyer.
add_compile_options(-ffunction-sections -fdata-sections)
add_link_options(-Wl,--gc-sections)

# WinINet and the common controls are no KnownDLLs: imported the usual way, Windows would
# look for them in the program's own folder first, and a buyer runs the program from
# Downloads, where any web page may leave a wininet.dll. So they are imported late,
# through mingw-w64's delay-load helper, once main has limited where DLLs come from. The
# delay-import libraries are made here from the toolchain's own import libraries, with
# every function they name, so that a call added later needs no change here.
set(QV_DELAY_IMPORT_DIR ${CMAKE_BINARY_DIR}/delay-import)
file(MAKE_DIRECTORY ${QV_DELAY_IMPORT_DIR})
foreach(dll wininet comctl32)
    find_library(QV_${dll}_IMPORT_LIBRARY NAMES lib${dll}.a REQUIRED)
    set(library ${QV_DELAY_IMPORT_DIR}/lib${dll}-delay.a)
    if(NOT EXISTS ${library} OR ${QV_${dll}_IMPORT_LIBRARY} IS_NEWER_THAN ${library})
        execute_process(COMMAND ${CMAKE_NM} -g ${QV_${dll}_IMPORT_LIBRARY}
                        OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
        string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z0-9_]+" functions "${symbols}")
        list(TRANSFORM functions REPLACE "^[0-9a-f]+ T " "")
        list(REMOVE_DUPLICATES functions)
        list(JOIN functions "
" exports)
        file(WRITE ${QV_DELAY_IMPORT_DIR}/${dll}.def "LIBRARY ${dll}.dll
EXPORTS
${exports}
")
        execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${QV_DELAY_IMPORT_DIR}/${dll}.def
                                --output-delaylib ${library} COMMAND_ERROR_IS_FATAL ANY)
    endif()
    set(QV_DELAY_${dll} ${library})
endforeach()

# Tests run under Wine in a prefix that belongs to this build tree.
set(QV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/cmake/wine-run.sh ${QV_WINEPREFIX})

# GoogleTest from Debian's sources, built with the cross compiler.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(QV_GENERATED ${CMAKE_BINARY_DIR}/generated)
set(QV_ARTWORK_SCRIPT ${PROJECT_SOURCE_DIR}/tools/artwork/make_artwork.py)
add_custom_command(OUTPUT ${QV_GENERATED}/artwork_images.cpp
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QV_GENERATED}
    COMMAND ${Python3_EXECUTABLE} ${QV_ARTWORK_SCRIPT} images ${QV_GENERATED}/artwork_images.cpp
    DEPENDS ${QV_ARTWORK_SCRIPT} ${PROJECT_SOURCE_DIR}/src/resources/artwork.h
    COMMENT "Drawing the band gradient, the logo and the close glyph")

# The layers: each links the one below it.
add_library(qv_foundation STATIC ${QV_PORTABLE_SOURCES} ${QV_FOUNDATION_WIN_SOURCES})
qv_strict(qv_foundation)
target_include_directories(qv_foundation PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(qv_foundation PUBLIC user32 shell32 advapi32)

add_library(qv_platform STATIC ${QV_PLATFORM_SOURCES} ${QV_GENERATED}/artwork_images.cpp)
qv_strict(qv_platform)
target_link_libraries(qv_platform PUBLIC qv_foundation user32 gdi32)

add_library(qv_net STATIC ${QV_NET_SOURCES})
qv_strict(qv_net)
target_link_libraries(qv_net PUBLIC qv_platform ${QV_DELAY_wininet})

include(cmake/program.cmake)
include(cmake/windows_tests.cmake)
include(cmake/e2e.cmake)
include(cmake/bench.cmake)
