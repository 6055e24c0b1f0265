# Writes the About text with the build time and the revision it was built from.
# Run at build time: cmake -DSOURCE_DIR=... -DOUTPUT=... -P build_info.cmake
# The revision number is the count of commits up to HEAD; its date is the commit date.
# Both times are in UTC. SOURCE_DATE_EPOCH, when set, fixes the build time.
string(TIMESTAMP build_time "%Y-%m-%d %H:%M:%S +0000" UTC)

set(revision "0")
set(revision_time "1970-01-01 00:00:00 +0000")
find_program(GIT git)
if(GIT)
    execute_process(COMMAND ${GIT} rev-list --count HEAD
        WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE count RESULT_VARIABLE count_failed
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
        ${GIT} log -1 --format=%cd "--date=format-local:%Y-%m-%d %H:%M:%S +0000"
        WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE when RESULT_VARIABLE when_failed
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT count_failed AND NOT when_failed AND count MATCHES "^[0-9]+$")
        set(revision ${count})
        set(revision_time ${when})
    endif()
endif()

file(WRITE ${OUTPUT}
"// Generated at build time by cmake/build_info.cmake.
#include \"resources/about.h\"

const char about_text[] = \"Quarryvale Downloader\\n\"
                          \"Build: ${build_time}\\n\"
                          \"Revision: ${revision} (${revision_time})\\n\"
                          \"Made for the Quarryvale game store by its downloader team.\\n\"
                          \"Copyright (C) 2026 Quarryvale. All rights reserved.\";
")
