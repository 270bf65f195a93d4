# Debian packages, one per install component, made by `cpack` in the build
# tree (scripts/package.sh): libqueuemanager<major> (the shared libraries),
# libqueuemanager-dev (headers, link names, CMake package, pkg-config files)
# and qm-emulator (the emulator program, which needs NATS). Versioned from
# project(); configure with -DCMAKE_INSTALL_PREFIX=/usr for Debian's library
# directory (the packages install under /usr either way). Each description's
# first line is its package's synopsis.
set(QM_PACKAGE_MAINTAINER "Queue Manager client library maintainers <qm-client@example.invalid>"
  CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME queuemanager)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development)
if(QM_HAVE_NATS)
  list(APPEND CPACK_COMPONENTS_ALL emulator)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# qm_emulator links the runtime package's libraries, found here while packing.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR}/QueueManagerLib ${PROJECT_BINARY_DIR}/QueueManagerEmulator)
set(qm_runtime_package libqueuemanager${PROJECT_VERSION_MAJOR})
set(qm_exact_runtime "${qm_runtime_package} (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${qm_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "Client library for the contact-centre Queue Manager server\n\
The shared libraries libQueueManager (requests, queues, monitors, the\n\
in-process and NATS notifiers) and libQueueManagerEmulator (the server\n\
emulator that applications are tested against).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libqueuemanager-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${qm_exact_runtime}, libfmt-dev")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
  "Queue Manager client library: development files\n\
Headers, the CMake package (find_package(QueueManager)) and the pkg-config\n\
files QueueManager and QueueManagerEmulator.")

set(CPACK_DEBIAN_EMULATOR_PACKAGE_NAME qm-emulator)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_SECTION net)
set(CPACK_DEBIAN_EMULATOR_PACKAGE_DEPENDS "${qm_exact_runtime}")
set(CPACK_DEBIAN_EMULATOR_DESCRIPTION
  "Queue Manager server emulator served on NATS, and a browser wallboard\n\
qm_emulator answers the Queue Manager client library over a NATS server, for\n\
testing applications in processes of their own. qm_wallboard serves a live\n\
wallboard page (queue statistics and agents' interactions) over HTTP.")

include(CPack)
