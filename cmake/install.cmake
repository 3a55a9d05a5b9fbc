# What `cmake --install` puts in place: the shared library with its SONAME
# link (component runtime), and for programs built against it the headers,
# the development link libkeel.so, keel.pc and the CMake package files
# (component dev). The static library is for the tests only and stays out.
include(CMakePackageConfigHelpers)

set(KEEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/keel)

# On Windows the DLL is the runtime part (bin/keel.dll) and mingw's import
# library libkeel.dll.a goes with the development files (lib/).
install(TARGETS keel EXPORT keelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

# The imported target keel::keel. Its link dependencies are private to the
# shared library, which records them as needed entries of its own; a program
# that links keel::keel needs nothing else.
install(EXPORT keelTargets NAMESPACE keel:: DESTINATION ${KEEL_CMAKE_DIR} COMPONENT dev)
# keelConfig.cmake; in the Windows package it also points projects built with
# MSVC at keel.lib, for each configuration the targets file lists (mingw keeps
# libkeel.dll.a, which the targets file names).
set(KEEL_CONFIG_WINDOWS "")
if(WIN32)
  set(KEEL_CONFIG_WINDOWS [[
if(MSVC)
  get_target_property(_keel_configs keel::keel IMPORTED_CONFIGURATIONS)
  foreach(_keel_config IN LISTS _keel_configs)
    set_property(TARGET keel::keel PROPERTY IMPORTED_IMPLIB_${_keel_config} "${PACKAGE_PREFIX_DIR}/lib/keel.lib")
  endforeach()
endif()
]])
endif()
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/keelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/keelConfig.cmake INSTALL_DESTINATION ${KEEL_CMAKE_DIR})
# The SONAME stays libkeel.so.0 across every 0.x release, so any 0.x
# request is met by any 0.x install at least as new.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/keelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/keelConfig.cmake ${PROJECT_BINARY_DIR}/keelConfigVersion.cmake
  DESTINATION ${KEEL_CMAKE_DIR} COMPONENT dev)

if(WIN32)
  # keel.lib, the import library under the name MSVC's projects use, made by
  # mingw's dlltool from the list of exports that the linker writes while it
  # links keel.dll (keel.def), so the two never differ. dlltool names the
  # library's members after the path it is given: a bare name keeps the build
  # folder out of them.
  if(NOT CMAKE_DLLTOOL)
    message(FATAL_ERROR "no dlltool beside the compiler: it makes keel.lib")
  endif()
  target_link_options(keel PRIVATE -Wl,--output-def,${PROJECT_BINARY_DIR}/keel.def)
  add_custom_command(TARGET keel POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --machine i386:x86-64 --input-def keel.def --dllname $<TARGET_FILE_NAME:keel>
            --output-lib keel.lib
    BYPRODUCTS ${PROJECT_BINARY_DIR}/keel.lib
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
    COMMENT "Making keel.lib, the import library for MSVC"
    VERBATIM)
  install(FILES ${PROJECT_BINARY_DIR}/keel.lib DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
endif()

# keel.pc names the prefix of the install that actually runs, so that
# `cmake --install --prefix DIR` into a staging directory gets a keel.pc that
# points into DIR; hence it is written at install time. The Windows zip may be
# unpacked anywhere: its keel.pc finds the prefix from its own place,
# lib/pkgconfig, which pkg-config gives as pcfiledir.
set(keel_pc_prefix "\${CMAKE_INSTALL_PREFIX}")
if(WIN32)
  set(keel_pc_prefix "\\\${pcfiledir}/../..")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(keel_pc_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(keel_pc_${kind} "\\\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
install(CODE "
  set(KEEL_PC_PREFIX \"${keel_pc_prefix}\")
  set(KEEL_PC_SYSTEM \"${CMAKE_SYSTEM_NAME}\")
  set(KEEL_PC_LIBDIR \"${keel_pc_LIBDIR}\")
  set(KEEL_PC_INCLUDEDIR \"${keel_pc_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/keel.pc.in\" \"${PROJECT_BINARY_DIR}/keel.pc\" @ONLY)
" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/keel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
