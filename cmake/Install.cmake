include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS QueueManager QueueManagerEmulator EXPORT QueueManagerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The NATS notifier's header goes only with a library that has it.
set(qm_nats_header_rule)
if(NOT QM_HAVE_NATS)
  set(qm_nats_header_rule PATTERN NatsNotifier.h EXCLUDE)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/QueueManagerLib/include/QueueManager
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} ${qm_nats_header_rule})
install(FILES ${QM_GENERATED_INCLUDE_DIR}/QueueManager/Version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QueueManager)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/QueueManagerEmulator/include/QueueManager
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT QueueManagerTargets
  NAMESPACE QueueManager::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QueueManager)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QueueManagerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QueueManagerConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QueueManager)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QueueManagerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/QueueManagerConfig.cmake
  ${PROJECT_BINARY_DIR}/QueueManagerConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QueueManager)
