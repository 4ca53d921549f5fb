# Warnings, sanitizers, and the shape of the two shared libraries.

set(KDX_WARNINGS -Wall -Wextra -Wpedantic -Werror -Wshadow -Wcast-align -Wformat=2
                 -Wnon-virtual-dtor -Wmissing-declarations -Wundef)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND KDX_WARNINGS -Wduplicated-cond -Wlogical-op)
endif()
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${KDX_WARNINGS}>")
add_compile_options("$<$<COMPILE_LANGUAGE:C>:-Wall;-Wextra;-Werror>")

if(KDX_SANITIZE)
  add_compile_options(-fsanitize=${KDX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${KDX_SANITIZE})
endif()

if(KDX_FUZZ)
  # Coverage for libFuzzer in every object, not only in the targets.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

set(KDX_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/include)

# Objects that go into a shared library: hidden by default, so that only the
# functions marked KDX_API are exported.
function(kdx_library_objects target)
  target_include_directories(${target} PUBLIC ${KDX_INCLUDE_DIR} ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${target} PRIVATE KDX_BUILDING_LIBRARY)
  set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# kdx_shared_library(name OBJECTS objlib... EXPORT_LISTS file...)
#
# Builds lib<name>.so (or <name>.dll with a .def file of the undecorated
# export names), and <name>_static, the same objects as a static library for
# the tests. The export lists (one name per line, '#' starts a comment) are
# the single record of what the library is meant to export: the .def file is
# made from them and the export-table tests check the built library against
# them (<name>_exports.txt in the build directory).
function(kdx_shared_library name)
  cmake_parse_arguments(ARG "" "" "OBJECTS;EXPORT_LISTS" ${ARGN})
  set(names "")
  foreach(list_file IN LISTS ARG_EXPORT_LISTS)
    set(path ${PROJECT_SOURCE_DIR}/${list_file})
    if(NOT EXISTS ${path})
      continue()
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines)
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "#.*" "" line "${line}")
      string(STRIP "${line}" line)
      if(line)
        list(APPEND names ${line})
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(JOIN names "\n" joined)
  file(WRITE ${CMAKE_BINARY_DIR}/${name}_exports.txt "${joined}\n")

  set(objects "")
  foreach(lib IN LISTS ARG_OBJECTS)
    list(APPEND objects $<TARGET_OBJECTS:${lib}>)
  endforeach()
  add_library(${name} SHARED ${objects})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
  if(WIN32)
    list(JOIN names "\n  " def_names)
    file(WRITE ${CMAKE_BINARY_DIR}/${name}.def "LIBRARY ${name}\nEXPORTS\n  ${def_names}\n")
    set_target_properties(${name} PROPERTIES PREFIX "")
    target_link_options(${name} PRIVATE ${CMAKE_BINARY_DIR}/${name}.def
                        -static -static-libgcc -static-libstdc++ -Wl,--enable-stdcall-fixup)
  else()
    # The export list is the version script too, so that nothing else leaks
    # out (template code that a compiler's headers mark visible, say).
    list(JOIN names ";\n    " script_names)
    file(WRITE ${CMAKE_BINARY_DIR}/${name}.map "{\n  global:\n    ${script_names};\n  local: *;\n};\n")
    target_link_options(${name} PRIVATE -Wl,--version-script=${CMAKE_BINARY_DIR}/${name}.map)
    # Both libraries export the same names: each binds its own calls to its
    # own definitions, so that in a process that loads both, neither one's
    # internal calls land in the other.
    target_link_options(${name} PRIVATE -Wl,-Bsymbolic)
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
    if(NOT KDX_FUZZ)
      # (coverage instrumentation leaves its hooks to the fuzzing program)
      target_link_options(${name} PRIVATE -Wl,--no-undefined)
    endif()
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${CMAKE_BINARY_DIR}/${name}.map)
    add_library(${name}_static STATIC ${objects})
    target_include_directories(${name}_static PUBLIC ${KDX_INCLUDE_DIR} ${PROJECT_SOURCE_DIR})
    find_package(Threads REQUIRED)
    target_link_libraries(${name} PRIVATE Threads::Threads)
    target_link_libraries(${name}_static PUBLIC Threads::Threads)
  endif()
endfunction()
