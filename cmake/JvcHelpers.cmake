# jvc_add_subsystem(NAME [SOURCES ...] [DEPS ...])
# A subsystem is a static library (position independent) that the module links in whole, or
# a header-only interface library when it has no sources. Its headers are included as
# "NAME/file.h". Each subsystem sees only its own headers, the host-facing headers under
# include/, and the headers of the subsystems it lists in DEPS (and theirs): its include root
# is a folder of the build tree that holds one link, NAME -> src/NAME, so a header of an
# undeclared subsystem is not found and a wrong include fails to compile.
function(jvc_add_subsystem name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    set(root ${PROJECT_BINARY_DIR}/include_roots/${name})
    if(NOT EXISTS ${root}/${name})
        file(MAKE_DIRECTORY ${root})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${name} ${root}/${name} SYMBOLIC)
    endif()
    if(ARG_SOURCES)
        add_library(jvc_${name} STATIC ${ARG_SOURCES})
        target_include_directories(jvc_${name} PUBLIC ${root} ${PROJECT_SOURCE_DIR}/include)
        target_link_libraries(jvc_${name} PUBLIC ${ARG_DEPS})
    else()
        add_library(jvc_${name} INTERFACE)
        target_include_directories(jvc_${name} INTERFACE ${root} ${PROJECT_SOURCE_DIR}/include)
        target_link_libraries(jvc_${name} INTERFACE ${ARG_DEPS})
    endif()
    set_property(GLOBAL APPEND PROPERTY JVC_SUBSYSTEMS jvc_${name})
endfunction()

# jvc_add_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [ENVIRONMENT VAR=value])  (see the label rule below)
# A GoogleTest executable registered with ctest as one test per case.
function(jvc_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT;ENVIRONMENT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    # Every discovered test carries all the labels given. "tsan" marks tests that must also
    # pass under ThreadSanitizer: scripts/test builds and runs only those in the tsan preset.
    if("tsan" IN_LIST ARG_LABELS)
        add_dependencies(tsan_tests ${name})
    endif()
    set(properties TIMEOUT ${ARG_TIMEOUT})
    if(ARG_ENVIRONMENT)
        list(APPEND properties ENVIRONMENT "${ARG_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES ${properties})
    # The labels are set by a file ctest reads after the discovered tests: passed through the
    # discovery's PROPERTIES, a list of labels would be split into separate arguments.
    if(ARG_LABELS)
        set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
        file(WRITE ${label_file}
            "if(${name}_TESTS)\n"
            "    set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
            "endif()\n")
        set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
    endif()
endfunction()

# jvc_add_child_folders(): adds every folder below the current one that has a CMakeLists.txt.
function(jvc_add_child_folders)
    file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
        ${CMAKE_CURRENT_SOURCE_DIR}/*)
    list(SORT children)
    foreach(child ${children})
        if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
           AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
            add_subdirectory(${child})
        endif()
    endforeach()
endfunction()
