# Build revision and release date of the version block, fixed when the build is configured.
# Taken from git when the sources are a checkout; fixed fallbacks keep tarball builds working.
find_package(Git QUIET)
if(KRV_BUILD_REV STREQUAL "")
    set(KRV_BUILD_REV "0000000")
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=7 HEAD
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _rev
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
        if(_rc EQUAL 0 AND _rev MATCHES "^[0-9a-f]+$")
            string(SUBSTRING "${_rev}" 0 7 KRV_BUILD_REV)
        endif()
    endif()
endif()
if(KRV_RELEASE_DATE STREQUAL "")
    set(KRV_RELEASE_DATE "Dec 10, 2026")
    if(GIT_FOUND)
        execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --date=format:%b\ %d,\ %Y --format=%cd
            WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _date
            OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
        if(_rc EQUAL 0 AND _date MATCHES "^[A-Z][a-z][a-z] [0-9][0-9], [0-9][0-9][0-9][0-9]$")
            set(KRV_RELEASE_DATE "${_date}")
        endif()
    endif()
endif()
if(NOT KRV_BUILD_REV MATCHES "^[0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]$")
    message(FATAL_ERROR "KRV_BUILD_REV must be 7 lower-case hex digits, got '${KRV_BUILD_REV}'")
endif()
message(STATUS "Korvane build ${KRV_BUILD_REV}, released on ${KRV_RELEASE_DATE}")
