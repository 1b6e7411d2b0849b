include(CMakePackageConfigHelpers)

install(TARGETS TavoAlgorithm TavoFrame TavoGeometry TavoMeshProc
  EXPORT TavoAlgorithmTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm)
# Exported headers reach a few internal headers (console lines, the sparse
# grid, laser records, geometry types); they install beside them under the
# same relative paths.
install(DIRECTORY common/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm/common
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY grid/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm/grid
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY platform/geometry/geometry DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm)
install(DIRECTORY laser/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm/laser
  FILES_MATCHING PATTERN "*.h")
install(DIRECTORY platform/meshproc/meshproc DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm)
# The robot planners' hosts hand their frames to the registration manager.
install(DIRECTORY platform/registration/registration_platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm)
install(EXPORT TavoAlgorithmTargets NAMESPACE TavoAlgorithm::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TavoAlgorithm)
configure_package_config_file(cmake/TavoAlgorithmConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TavoAlgorithmConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TavoAlgorithm)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TavoAlgorithmConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TavoAlgorithmConfig.cmake
  ${PROJECT_BINARY_DIR}/TavoAlgorithmConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/TavoAlgorithm)
