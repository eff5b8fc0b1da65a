# `cmake --install` puts the public headers, liborvex_core.a and an exported
# CMake package, so that another project can write
#   find_package(orvex_core REQUIRED)
#   target_link_libraries(app PRIVATE orvex::core)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(orvex_core PROPERTIES EXPORT_NAME core)
install(TARGETS orvex_core EXPORT orvex_coreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The public headers, and only these: everything else under core/ is internal.
foreach(header collection.h filter.h payload.h error.h distance.h index/brute_force.h index/payload_index.h)
  get_filename_component(subdir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/core/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvex/${subdir})
endforeach()
install(EXPORT orvex_coreTargets
  NAMESPACE orvex::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvex_core)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orvex_coreConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/orvex_coreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvex_core)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/orvex_coreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orvex_coreConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/orvex_coreConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvex_core)
