# Installation: the module, the device services and their headers, the quorvel program, a CMake
# package and pkg-config files.
#
#   find_package(QuorvelWaveForm 1.0 CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE QuorvelWaveForm::QuorvelWaveForm)  # the four entry points
#   target_link_libraries(app PRIVATE QuorvelWaveForm::Device)           # quorvel/device.h(pp)
#
#   pkg-config --cflags --libs QuorvelWaveForm QuorvelDevice
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QWF_PACKAGE_NAME QuorvelWaveForm)
set(QWF_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${QWF_PACKAGE_NAME})
set(QWF_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installed consumers find QuorvelWaveForm.h and quorvel/device.h(pp) under include/.
target_include_directories(QuorvelWaveForm INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_include_directories(QuorvelDevice INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(QuorvelDevice PROPERTIES EXPORT_NAME Device)
# The module needs the device services, installed beside it, wherever the prefix is.
set_target_properties(QuorvelWaveForm PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS QuorvelWaveForm QuorvelDevice
  EXPORT QuorvelWaveFormTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS quorvel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/quorvel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Where bash-completion looks, taken relative to its own prefix so the install stays in ours.
set(QWF_COMPLETIONS_DIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_get_variable(QWF_BASH_COMPLETION_PREFIX bash-completion prefix)
  pkg_get_variable(QWF_BASH_COMPLETIONS bash-completion completionsdir)
  if(QWF_BASH_COMPLETION_PREFIX AND QWF_BASH_COMPLETIONS MATCHES "^${QWF_BASH_COMPLETION_PREFIX}/")
    file(RELATIVE_PATH QWF_COMPLETIONS_DIR ${QWF_BASH_COMPLETION_PREFIX} ${QWF_BASH_COMPLETIONS})
  endif()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/host/quorvel.bash-completion
  DESTINATION ${QWF_COMPLETIONS_DIR} RENAME quorvel)
# Plugins loaded only when needed: the services' ALSA backend beside them, quorvel's window in
# a folder of quorvel's own.
if(TARGET QuorvelDeviceAlsa)
  install(TARGETS QuorvelDeviceAlsa LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
if(TARGET quorvel_window)
  install(TARGETS quorvel_window LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/quorvel)
endif()

install(FILES ${PROJECT_SOURCE_DIR}/include/QuorvelWaveForm.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The host-side API, C and its C++ face; the testing hooks (device/testing/include) stay in the
# tree, for this project's tests only.
install(FILES
    ${PROJECT_SOURCE_DIR}/device/host_api/include/quorvel/device.h
    ${PROJECT_SOURCE_DIR}/device/host_api/include/quorvel/device.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvel)
# The Win32 names the services implement, for code written against them; kept off the default
# include path so they never stand in for a system <windows.h>.
install(FILES
    ${PROJECT_SOURCE_DIR}/device/win32/include/windows.h
    ${PROJECT_SOURCE_DIR}/device/win32/include/mmsystem.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quorvel/win32)

# ---- CMake package ----
install(EXPORT QuorvelWaveFormTargets
  NAMESPACE ${QWF_PACKAGE_NAME}::
  DESTINATION ${QWF_PACKAGE_DIR})
set(QWF_CONFIG_IN ${CMAKE_CURRENT_BINARY_DIR}/${QWF_PACKAGE_NAME}Config.cmake.in)
file(WRITE ${QWF_CONFIG_IN} [=[
# QuorvelWaveForm::QuorvelWaveForm  the module (include QuorvelWaveForm.h)
# QuorvelWaveForm::Device           the device services' host-side API (quorvel/device.h, C;
#                                   quorvel/device.hpp, its C++ face)
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/QuorvelWaveFormTargets.cmake")
check_required_components(QuorvelWaveForm)
]=])
configure_package_config_file(${QWF_CONFIG_IN}
  ${CMAKE_CURRENT_BINARY_DIR}/${QWF_PACKAGE_NAME}Config.cmake
  INSTALL_DESTINATION ${QWF_PACKAGE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/${QWF_PACKAGE_NAME}ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/${QWF_PACKAGE_NAME}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${QWF_PACKAGE_NAME}ConfigVersion.cmake
  DESTINATION ${QWF_PACKAGE_DIR})

# ---- pkg-config ----
# The prefix is found from the .pc file's own place, so `cmake --install --prefix` works too.
file(RELATIVE_PATH QWF_PKGCONFIG_TO_PREFIX /prefix/${QWF_PKGCONFIG_DIR} /prefix)
string(REGEX REPLACE "/$" "" QWF_PKGCONFIG_TO_PREFIX "${QWF_PKGCONFIG_TO_PREFIX}")
foreach(library IN ITEMS QuorvelWaveForm QuorvelDevice)
  if(library STREQUAL "QuorvelWaveForm")
    set(QWF_PC_DESCRIPTION
      "Plays PCM WAV files and captures 8000 Hz mono audio with a live oscilloscope trace")
    set(QWF_PC_VERSION ${PROJECT_VERSION})
  else()
    set(QWF_PC_DESCRIPTION
      "Device services: screen, audio devices and the host-side C API quorvel/device.h")
    get_target_property(QWF_PC_VERSION QuorvelDevice VERSION)
  endif()
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${library}.pc CONTENT "\
prefix=\${pcfiledir}/${QWF_PKGCONFIG_TO_PREFIX}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: ${library}
Description: ${QWF_PC_DESCRIPTION}
Version: ${QWF_PC_VERSION}
Libs: -L\${libdir} -l${library}
Cflags: -I\${includedir}
")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${library}.pc DESTINATION ${QWF_PKGCONFIG_DIR})
endforeach()
