# Installation: the libraries with versioned names, their public headers, a
# pkg-config file per library, the CMake package "kdx" (imported targets
# kdx::velmor and kdx::tarsk), the tools with their manual pages, and the
# Debian packages CPack makes of them (runtime, development, tools).

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KDX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kdx)
set(KDX_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
# The .pc files find their prefix from where they lie, so that a tree
# installed with --prefix or unpacked elsewhere still describes itself.
file(RELATIVE_PATH KDX_PC_TO_PREFIX /${KDX_PKGCONFIG_DIR} /)
string(REGEX REPLACE "/$" "" KDX_PC_TO_PREFIX "${KDX_PC_TO_PREFIX}")

set(KDX_DESCRIPTION_velmor "Driver library for the smart-card reader with its own microcontroller")
set(KDX_DESCRIPTION_tarsk "Driver library for the serial-line smart-card reader (host-side ISO/IEC 7816-3)")

set(installed_libraries "")
foreach(library velmor tarsk)
  if(NOT TARGET ${library})
    continue()
  endif()
  list(APPEND installed_libraries ${library})
  target_include_directories(${library} INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  install(TARGETS ${library} EXPORT kdxTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  file(GLOB extension_headers ${KDX_INCLUDE_DIR}/${library}_*.h)
  install(FILES ${KDX_INCLUDE_DIR}/${library}.h ${extension_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  set(KDX_PC_NAME ${library})
  set(KDX_PC_DESCRIPTION "${KDX_DESCRIPTION_${library}}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/install/library.pc.in ${CMAKE_BINARY_DIR}/${library}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${library}.pc DESTINATION ${KDX_PKGCONFIG_DIR} COMPONENT development)
endforeach()

if(installed_libraries)
  # The headers both libraries share.
  file(GLOB shared_headers ${KDX_INCLUDE_DIR}/kdx_*.h)
  # (the IFD handler's header documents a pcscd driver, not the libraries)
  list(FILTER shared_headers EXCLUDE REGEX "/kdx_ifd\\.h$")
  install(FILES ${shared_headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
  install(EXPORT kdxTargets NAMESPACE kdx:: DESTINATION ${KDX_CMAKE_DIR} COMPONENT development)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/install/kdxConfig.cmake.in
                                ${CMAKE_BINARY_DIR}/kdxConfig.cmake INSTALL_DESTINATION ${KDX_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/kdxConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/kdxConfig.cmake ${CMAKE_BINARY_DIR}/kdxConfigVersion.cmake
          DESTINATION ${KDX_CMAKE_DIR} COMPONENT development)
endif()

set(KDX_MAN_NAME_kdx "talk to the Velmor and Tarsk smart-card readers, or to their simulators")
set(KDX_MAN_NAME_kdx-readersim "serve a simulated Velmor reader on a pseudo-terminal")
if(TARGET kdx)
  install(TARGETS kdx kdx-readersim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  # Manual pages made from the tools' own --help and --version, so that they
  # say what the tools do.
  find_program(KDX_HELP2MAN help2man)
  if(KDX_HELP2MAN)
    set(pages "")
    foreach(tool kdx kdx-readersim)
      set(page ${CMAKE_BINARY_DIR}/man/${tool}.1)
      add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${KDX_HELP2MAN} --no-info --no-discard-stderr --section=1
                --name=${KDX_MAN_NAME_${tool}} --output=${page} $<TARGET_FILE:${tool}>
        DEPENDS ${tool}
        COMMENT "Manual page of ${tool}"
        VERBATIM)
      list(APPEND pages ${page})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${pages})
    install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  else()
    message(STATUS "help2man not found: no manual pages (scripts/setup.sh installs it)")
  endif()
endif()

# Debian packages: `cpack -G DEB` in the build directory.
set(CPACK_PACKAGE_NAME kdx)
set(CPACK_PACKAGE_VENDOR "kdx developers")
set(CPACK_PACKAGE_CONTACT "kdx developers <kdx@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host-side drivers for two serial smart-card readers, a simulator and a tool")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkdx${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkdx-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kdx-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Velmor and Tarsk reader libraries")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Headers, pkg-config files and CMake package of the reader libraries")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "The kdx tool and the kdx-readersim simulated reader")
# The tool loads the libraries at run time, so dpkg-shlibdeps cannot see it.
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
include(CPack)
