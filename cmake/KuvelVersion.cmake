# One version for every program: the project's, refined by `git describe` in a git checkout.
# A tag names the release itself; without tags (a fresh CI clone) the commit is appended, so
# two builds of different commits never answer the same --version. Evaluated at configure time.
set(KUVEL_VERSION_STRING ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(
        COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE described
        OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE describeResult
        ERROR_QUIET)
    if(describeResult EQUAL 0 AND NOT described STREQUAL "")
        # --always without a tag gives only the abbreviated hash (and -dirty).
        if(described MATCHES "^[0-9a-f]+(-dirty)?$")
            set(KUVEL_VERSION_STRING ${PROJECT_VERSION}-g${described})
        else()
            string(REGEX REPLACE "^v" "" KUVEL_VERSION_STRING ${described})
        endif()
    endif()
endif()
message(STATUS "Kuvel version: ${KUVEL_VERSION_STRING}")

configure_file(${PROJECT_SOURCE_DIR}/cmake/kuvelversion.h.in
    ${PROJECT_BINARY_DIR}/generated/kuvelversion.h @ONLY)
add_library(kuvel_version INTERFACE)
target_include_directories(kuvel_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
