# cmake -DREPORTS=<dir> -DMODE=clear|check -P reports.cmake
# clear: empties the folder the sanitizers write their reports to.
# check: prints every report found there and fails if there is one.
if(MODE STREQUAL "clear")
    file(REMOVE_RECURSE ${REPORTS})
    file(MAKE_DIRECTORY ${REPORTS})
    return()
endif()

file(GLOB reports ${REPORTS}/report*)
if(NOT reports)
    message(STATUS "no sanitizer reports")
    return()
endif()
foreach(report IN LISTS reports)
    file(READ ${report} text)
    message("==== ${report}\n${text}")
endforeach()
list(LENGTH reports count)
message(FATAL_ERROR "${count} sanitizer report(s) in ${REPORTS}")
