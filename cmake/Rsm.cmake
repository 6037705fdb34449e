# Helpers shared by every folder of the project.

set(RSM_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/Include)
set(RSM_SOURCES_DIR ${CMAKE_SOURCE_DIR}/Sources)

function(rsm_add_leaf_folders root)
    file(GLOB_RECURSE lists CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${root}/*/CMakeLists.txt)
    list(SORT lists)
    foreach(l IN LISTS lists)
        get_filename_component(dir ${l} DIRECTORY)
        file(RELATIVE_PATH rel ${CMAKE_SOURCE_DIR} ${dir})
        add_subdirectory(${dir} ${CMAKE_BINARY_DIR}/${rel})
    endforeach()
endfunction()

# rsm_test(<name> SOURCES ... LIBS ... [LABELS ...] [ENV ...])
# One GoogleTest program registered as one CTest test.
function(rsm_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_include_directories(${name} PRIVATE ${RSM_INCLUDE_DIR} ${RSM_SOURCES_DIR} ${CMAKE_SOURCE_DIR}/Tests)
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(T_ENV)
        set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
    endif()
endfunction()

# rsm_benchmark(<name> SOURCES ... LIBS ...)
function(rsm_benchmark name)
    cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${B_SOURCES})
    target_include_directories(${name} PRIVATE ${RSM_INCLUDE_DIR} ${RSM_SOURCES_DIR})
    target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

# rsm_static_library(<name> SOURCES ... LIBS ...): a piece of code linked into the module
# (and into the tests); position independent, symbols hidden.
function(rsm_static_library name)
    cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
    add_library(${name} STATIC ${L_SOURCES})
    set_property(GLOBAL APPEND PROPERTY RSM_STATIC_LIBRARIES ${name})
    target_include_directories(${name} PUBLIC ${RSM_INCLUDE_DIR} ${RSM_SOURCES_DIR})
    target_link_libraries(${name} PUBLIC ${L_LIBS} Threads::Threads)
endfunction()

# rsm_copy_message_files(<target>): puts the shipped error message file next to the target's file.
function(rsm_copy_message_files target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different
                ${CMAKE_SOURCE_DIR}/Sources/Common/ErrorHandling/TalErrorMessages.msg
                $<TARGET_FILE_DIR:${target}>/TalErrorMessages.msg)
endfunction()

# rsm_check_library_graph(<target>...): fails the configuration when our libraries link each other
# in a circle. CMake accepts such cycles between static libraries, so nothing else would notice.
function(_rsm_visit_library target path)
    if(target IN_LIST path)
        list(APPEND path ${target})
        list(JOIN path " -> " cycle)
        message(FATAL_ERROR "Library cycle: ${cycle}")
    endif()
    get_property(done GLOBAL PROPERTY RSM_LIBRARY_CHECKED_${target})
    if(done)
        return()
    endif()
    list(APPEND path ${target})
    get_target_property(libs ${target} LINK_LIBRARIES)
    foreach(lib IN LISTS libs)
        if(TARGET ${lib} AND lib MATCHES "^(Rsm|Tessel$|Ravlin$|ConfigServer$)")
            _rsm_visit_library(${lib} "${path}")
        endif()
    endforeach()
    set_property(GLOBAL PROPERTY RSM_LIBRARY_CHECKED_${target} TRUE)
endfunction()

function(rsm_check_library_graph)
    foreach(target IN LISTS ARGN)
        _rsm_visit_library(${target} "")
    endforeach()
endfunction()
