include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Three components, one Debian package each (see Packaging.cmake): runtime
# (the shared libraries), development (headers, link names, CMake and
# pkg-config files) and emulator (qm_emulator).
install(TARGETS QueueManager QueueManagerEmulator EXPORT QueueManagerTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/QueueManagerLib/include/QueueManager
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES ${QM_GENERATED_INCLUDE_DIR}/QueueManager/Version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/QueueManager COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/QueueManagerEmulator/include/QueueManager
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(EXPORT QueueManagerTargets
  NAMESPACE QueueManager::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QueueManager COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QueueManagerConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QueueManagerConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QueueManager)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QueueManagerConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/QueueManagerConfig.cmake
  ${PROJECT_BINARY_DIR}/QueueManagerConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QueueManager COMPONENT development)

# pkg-config files for builds without CMake: QueueManager and
# QueueManagerEmulator (which requires the former).
set(qm_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH QM_PC_PREFIX_FROM_PCDIR /prefix/${qm_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" QM_PC_PREFIX_FROM_PCDIR "${QM_PC_PREFIX_FROM_PCDIR}")
set(QM_PC_NATS 0)
if(QM_HAVE_NATS)
  set(QM_PC_NATS 1)
endif()
set(QM_PC_NAME QueueManager)
set(QM_PC_DESCRIPTION "Client library for the contact-centre Queue Manager server")
set(QM_PC_REQUIRES fmt)
configure_file(${PROJECT_SOURCE_DIR}/cmake/QueueManager.pc.in
  ${PROJECT_BINARY_DIR}/pkgconfig/QueueManager.pc @ONLY)
set(QM_PC_NAME QueueManagerEmulator)
set(QM_PC_DESCRIPTION "Queue Manager server emulator, for testing applications of the client library")
set(QM_PC_REQUIRES "QueueManager = ${PROJECT_VERSION}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/QueueManager.pc.in
  ${PROJECT_BINARY_DIR}/pkgconfig/QueueManagerEmulator.pc @ONLY)
install(FILES
  ${PROJECT_BINARY_DIR}/pkgconfig/QueueManager.pc
  ${PROJECT_BINARY_DIR}/pkgconfig/QueueManagerEmulator.pc
  DESTINATION ${qm_pc_dir} COMPONENT development)

include(${CMAKE_CURRENT_LIST_DIR}/Packaging.cmake)
