include(CMakePackageConfigHelpers)

install(TARGETS TavoAlgorithmShared TavoFrame TavoGeometry TavoMeshProc
  EXPORT TavoAlgorithmTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TAVO_BUILD_APPS)
  install(TARGETS fusion_demo trace_replay calib_board_generator autoscan_demo
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Headers install under one root, <prefix>/include/TavoAlgorithm: the exported
# headers at its top, the internal ones they reach (console lines, the sparse
# grid, laser records, geometry and mesh-processing types) beside them under
# the same relative paths. Their quoted includes are rewritten on the way to
# <TavoAlgorithm/...>, so consumers need <prefix>/include alone.
install(CODE "
  set(TAVO_HEADER_ROOTS
    \"${PROJECT_SOURCE_DIR}/include|\"
    \"${PROJECT_BINARY_DIR}/generated|\"
    \"${PROJECT_SOURCE_DIR}/common|common/\"
    \"${PROJECT_SOURCE_DIR}/grid|grid/\"
    \"${PROJECT_SOURCE_DIR}/laser|laser/\"
    \"${PROJECT_SOURCE_DIR}/platform/geometry/geometry|geometry/\"
    \"${PROJECT_SOURCE_DIR}/platform/meshproc/meshproc|meshproc/\"
    \"${PROJECT_SOURCE_DIR}/platform/registration/registration_platform|registration_platform/\")
  set(TAVO_HEADER_DEST \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_INCLUDEDIR}/TavoAlgorithm\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/TavoInstallHeaders.cmake\")")

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

# The same package for pkg-config users, relocatable with the prefix.
configure_file(cmake/TavoAlgorithm.pc.in ${PROJECT_BINARY_DIR}/TavoAlgorithm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/TavoAlgorithm.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
