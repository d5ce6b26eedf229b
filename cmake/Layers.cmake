# The product is built with warnings, and a switch that misses a case is an error, so that a
# new failure cause cannot go without its text.
function(updater_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Werror=switch)
    endif()
endfunction()

# Stops the configuration when one of SOURCES includes a header of the project outside
# MAY_INCLUDE (folders ending in /, or single headers): a layer may not climb.
function(updater_check_includes target)
    cmake_parse_arguments(LAYER "" "" "SOURCES;MAY_INCLUDE" ${ARGN})
    foreach(source IN LISTS LAYER_SOURCES)
        set(path ${CMAKE_CURRENT_SOURCE_DIR}/${source})
        if(NOT source MATCHES "\\.(cpp|h)$")
            continue()
        endif()
        # Checked again whenever the source changes.
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
        file(STRINGS ${path} includes REGEX "^#include \"[^\"]+/[^\"]+\"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
            set(allowed FALSE)
            foreach(prefix IN LISTS LAYER_MAY_INCLUDE)
                string(FIND "${header}" "${prefix}" at)
                if(at EQUAL 0)
                    set(allowed TRUE)
                endif()
            endforeach()
            if(NOT allowed)
                message(FATAL_ERROR "${source} includes ${header}: ${target} may include only ${LAYER_MAY_INCLUDE}")
            endif()
        endforeach()
    endforeach()
endfunction()

# A static library of one layer, built with warnings, whose sources include nothing from
# the layers above it.
function(updater_layer target)
    cmake_parse_arguments(LAYER "" "" "SOURCES;MAY_INCLUDE" ${ARGN})
    add_library(${target} STATIC ${LAYER_SOURCES})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    updater_warnings(${target})
    updater_check_includes(${target} MAY_INCLUDE ${LAYER_MAY_INCLUDE} SOURCES ${LAYER_SOURCES})
endfunction()
