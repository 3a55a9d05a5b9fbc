# What `cmake --install` puts in place: the shared library with its SONAME
# link (component runtime), and for programs built against it the headers,
# the development link libkeel.so, keel.pc and the CMake package files
# (component dev). The static library is for the tests only and stays out.
include(CMakePackageConfigHelpers)

set(KEEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/keel)

install(TARGETS keel EXPORT keelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h")

# The imported target keel::keel. Its link dependencies are private to the
# shared library, which records them as needed entries of its own; a program
# that links keel::keel needs nothing else.
install(EXPORT keelTargets NAMESPACE keel:: DESTINATION ${KEEL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/keelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/keelConfig.cmake INSTALL_DESTINATION ${KEEL_CMAKE_DIR})
# The SONAME stays libkeel.so.0 across every 0.x release, so any 0.x
# request is met by any 0.x install at least as new.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/keelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/keelConfig.cmake ${PROJECT_BINARY_DIR}/keelConfigVersion.cmake
  DESTINATION ${KEEL_CMAKE_DIR} COMPONENT dev)

# keel.pc names the prefix of the install that actually runs, so that
# `cmake --install --prefix DIR` into a staging directory gets a keel.pc that
# points into DIR; hence it is written at install time.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(keel_pc_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(keel_pc_${kind} "\\\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
install(CODE "
  set(KEEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(KEEL_PC_LIBDIR \"${keel_pc_LIBDIR}\")
  set(KEEL_PC_INCLUDEDIR \"${keel_pc_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/keel.pc.in\" \"${PROJECT_BINARY_DIR}/keel.pc\" @ONLY)
" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/keel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
