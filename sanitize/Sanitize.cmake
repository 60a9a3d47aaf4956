# Sanitizer builds: -DTMX_SANITIZE=address (AddressSanitizer with
# UndefinedBehaviorSanitizer and LeakSanitizer) or -DTMX_SANITIZE=thread
# (ThreadSanitizer). The flags apply to everything built below the top level;
# every test registered with tmx_add_test runs with options that make any
# report fatal and write it under <build>/sanitizer-reports, and a last test
# fails when a report is found there, so reports from the daemon and the tools
# that tests start (which see the same environment) fail the run too.
set(TMX_SANITIZE "" CACHE STRING "Sanitizer build: address, thread or empty")
set_property(CACHE TMX_SANITIZE PROPERTY STRINGS "" address thread)

# With TMX_FUZZ (the libFuzzer targets in fuzz/, clang only) everything is
# built with coverage instrumentation and AddressSanitizer with
# UndefinedBehaviorSanitizer.
if(TMX_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "TMX_FUZZ needs clang: configure with CC=clang CXX=clang++")
    endif()
    if(TMX_SANITIZE STREQUAL "")
        set(TMX_SANITIZE address CACHE STRING "" FORCE)
    elseif(NOT TMX_SANITIZE STREQUAL "address")
        message(FATAL_ERROR "TMX_FUZZ goes with TMX_SANITIZE=address only")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set(TMX_SANITIZE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(TMX_SANITIZER_REPORTS ${CMAKE_BINARY_DIR}/sanitizer-reports)
set(TMX_SANITIZER_ENV "")

if(TMX_SANITIZE STREQUAL "address")
    set(_flags -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${_flags})
    add_link_options(${_flags})
    set(_log log_path=${TMX_SANITIZER_REPORTS}/report:log_exe_name=1)
    set(TMX_SANITIZER_ENV
        "ASAN_OPTIONS=halt_on_error=1:exitcode=86:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:${_log}"
        "UBSAN_OPTIONS=halt_on_error=1:exitcode=86:print_stacktrace=1:${_log}"
        "LSAN_OPTIONS=suppressions=${TMX_SANITIZE_DIR}/lsan.supp:print_suppressions=0")
elseif(TMX_SANITIZE STREQUAL "thread")
    set(_flags -fsanitize=thread -fno-omit-frame-pointer)
    add_compile_options(${_flags})
    add_link_options(${_flags})
    set(TMX_SANITIZER_ENV
        "TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1:history_size=4:suppressions=${TMX_SANITIZE_DIR}/tsan.supp:print_suppressions=0:log_path=${TMX_SANITIZER_REPORTS}/report:log_exe_name=1")
    # Every executable gets the annotations for Qt's own synchronisation (see
    # qt-tsan.cpp); added once all directories are known.
    function(_tmx_tsan_annotate_dir dir)
        get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
        foreach(target IN LISTS targets)
            get_target_property(type ${target} TYPE)
            get_target_property(plain ${target} TMX_NO_TSAN_ANNOTATE)
            if(type STREQUAL "EXECUTABLE" AND NOT plain)
                target_sources(${target} PRIVATE ${TMX_SANITIZE_DIR}/qt-tsan.cpp)
                target_link_libraries(${target} PRIVATE Qt5::Core)
            endif()
        endforeach()
        get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
        foreach(subdir IN LISTS subdirs)
            _tmx_tsan_annotate_dir(${subdir})
        endforeach()
    endfunction()
    function(_tmx_tsan_annotate_all)
        _tmx_tsan_annotate_dir(${CMAKE_SOURCE_DIR})
    endfunction()
    cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _tmx_tsan_annotate_all)
elseif(TMX_SANITIZE)
    message(FATAL_ERROR "TMX_SANITIZE must be address, thread or empty, not '${TMX_SANITIZE}'")
endif()

# Called by tmx_add_test for each test. The properties are set when the
# test's directory is complete, so a test's own ENVIRONMENT (set after
# tmx_add_test) is kept and extended rather than replacing these.
function(tmx_sanitize_test name)
    if(NOT TMX_SANITIZE)
        return()
    endif()
    cmake_language(EVAL CODE "cmake_language(DEFER CALL _tmx_sanitize_test_now [[${name}]])")
endfunction()

function(_tmx_sanitize_test_now name)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT ${TMX_SANITIZER_ENV})
    set_property(TEST ${name} APPEND PROPERTY FIXTURES_REQUIRED sanitizer-reports)
    get_property(done GLOBAL PROPERTY TMX_SANITIZER_FIXTURE)
    if(done)
        return()
    endif()
    set_property(GLOBAL PROPERTY TMX_SANITIZER_FIXTURE ON)
    add_test(NAME sanitizer-reports-clear
             COMMAND ${CMAKE_COMMAND} -DREPORTS=${TMX_SANITIZER_REPORTS} -DMODE=clear
                     -P ${TMX_SANITIZE_DIR}/reports.cmake)
    add_test(NAME sanitizer-reports
             COMMAND ${CMAKE_COMMAND} -DREPORTS=${TMX_SANITIZER_REPORTS} -DMODE=check
                     -P ${TMX_SANITIZE_DIR}/reports.cmake)
    set_tests_properties(sanitizer-reports-clear PROPERTIES FIXTURES_SETUP sanitizer-reports)
    set_tests_properties(sanitizer-reports PROPERTIES FIXTURES_CLEANUP sanitizer-reports)
endfunction()
