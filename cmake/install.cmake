# What `cmake --install` puts under the prefix: the libraries with their
# public headers, the tools, the documentation, a CMake package
# (find_package(Quorvalen CONFIG) gives Quorvalen::quorvalen,
# Quorvalen::session and Quorvalen::sim) and pkg-config files.
include(CMakePackageConfigHelpers)

set(QUORVALEN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvalen)

install(TARGETS quorvalen quorvalen_session quorvalen_sim EXPORT QuorvalenTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quorvalen
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_BINARY_DIR}/include/quorvalen/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvalen)

install(EXPORT QuorvalenTargets NAMESPACE Quorvalen:: DESTINATION ${QUORVALEN_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorvalenConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QuorvalenConfig.cmake
                              INSTALL_DESTINATION ${QUORVALEN_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorvalenConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorvalenConfig.cmake
              ${PROJECT_BINARY_DIR}/QuorvalenConfigVersion.cmake
        DESTINATION ${QUORVALEN_CMAKE_DIR})

# The pkg-config files find the prefix from where they lie, so the tree can
# be installed under any --prefix and moved.
file(RELATIVE_PATH QUORVALEN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
foreach(pc quorvalen quorvalen-session quorvalen-sim)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

if(QUORVALEN_TOOLS)
  install(TARGETS quorvalen-cli quorvalen-phone RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}
        FILES_MATCHING PATTERN "*.md")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
