# fw_add_gtest(target [PROPERTIES prop value ...])
#
# Registers the GoogleTest executable `target` with ctest. In a native build
# every test case becomes its own ctest entry (gtest_discover_tests runs the
# program after linking to list them). A cross-built program cannot be listed
# that way at build time, so there the whole program is one ctest entry, run
# through CMAKE_CROSSCOMPILING_EMULATOR; a failure shows the failing cases in
# its output.
include(GoogleTest)

if(CMAKE_CROSSCOMPILING AND FW_WINEPREFIX)
    # The Wine prefix the tests run in is made once, before the first test:
    # concurrent first starts would each try to create it.
    add_test(NAME wine_prefix
             COMMAND env WINEPREFIX=${FW_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
                     sh -c "wine wineboot --init && wineserver -w")
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
endif()

function(fw_add_gtest target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "PROPERTIES")
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${target} COMMAND ${target})
        set_tests_properties(${target} PROPERTIES TIMEOUT 300 ${arg_PROPERTIES})
        if(FW_WINEPREFIX)
            set_tests_properties(${target} PROPERTIES FIXTURES_REQUIRED wine)
        endif()
    else()
        gtest_discover_tests(${target} PROPERTIES ${arg_PROPERTIES})
    endif()
endfunction()

# fw_add_sim_test(target SOURCES file... LIBRARIES lib... [DEFINITIONS def...]
#                 [DEPENDS target...])
#
# A GoogleTest program that runs whole updates against the analyser simulator,
# which it finds as FW_ANALYSER_SIM, with srecord's srec_cat and srec_cmp to make
# and compare the images (FW_SREC_CAT, FW_SREC_CMP: both empty when either is
# missing, and the cases that need them skip). Each program may take two
# minutes.
function(fw_add_sim_test target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES;DEFINITIONS;DEPENDS")
    find_program(FW_SREC_CAT srec_cat)
    find_program(FW_SREC_CMP srec_cmp)
    set(srec_cat "")
    set(srec_cmp "")
    if(FW_SREC_CAT AND FW_SREC_CMP)
        set(srec_cat "${FW_SREC_CAT}")
        set(srec_cmp "${FW_SREC_CMP}")
    endif()
    add_executable(${target} ${arg_SOURCES})
    target_link_libraries(${target} PRIVATE ${arg_LIBRARIES})
    target_compile_definitions(${target} PRIVATE FW_ANALYSER_SIM="$<TARGET_FILE:analyser-sim>"
                                                 FW_SREC_CAT="${srec_cat}"
                                                 FW_SREC_CMP="${srec_cmp}" ${arg_DEFINITIONS})
    add_dependencies(${target} analyser-sim ${arg_DEPENDS})
    fw_add_gtest(${target} PROPERTIES TIMEOUT 120)
endfunction()
