# Installation in the usual GNU places, a CMake package (find_package(talon
# CONFIG) gives talon::talon, talon::warden and the software ISP talon::isp,
# and on the host the simulated runtime talon::prism) and pkg-config files
# (talon, warden, talon_isp; prism on the host). Installed libraries and tools carry a
# run path relative to their own place (cmake/TalonCommon.cmake), so a tree
# installed under any prefix runs without LD_LIBRARY_PATH. A device build
# installs only the product: the platform libraries are the device's own.
include(CMakePackageConfigHelpers)

set(TALON_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/talon)
set(TALON_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/talon)

# Installed consumers include from <prefix>/include/talon, with the same
# paths as in the source tree ("system/capture/capture_service.h").
set(talon_installed_libraries talon warden talon_isp)
set(talon_pkgconfig_files talon warden talon_isp)
if(TALON_HOST_PLATFORM)
  list(APPEND talon_installed_libraries ${talon_platform_libraries})
  list(APPEND talon_pkgconfig_files prism)
endif()
foreach(lib IN LISTS talon_installed_libraries)
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${TALON_INSTALL_INCLUDEDIR}>)
endforeach()
install(TARGETS ${talon_installed_libraries}
  EXPORT talonTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

foreach(tool talon-cam talon-dramctl warden-provision talon-prism-check)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# Public headers: the capture API, the classes it exports, the DRAM
# controller, OemLockProvision, the runtime's interface, the software ISP
# (the API reference, cmake/TalonDocs.cmake, covers the same list); on the
# host the stand-ins' headers (at the paths a vendor root has them) and the
# simulator's control header.
set(talon_public_headers
  base/export.h
  base/mutex.h
  system/capture/capture_types.h
  system/capture/capture_util.h
  system/capture/capture_frame_buffer.h
  system/capture/capture_service.h
  system/capture/capture_frame_buffer_impl.h
  system/capture/capture_frame_buffer_factory_impl.h
  system/capture/capture_ozy_helper.h
  system/capture/capture_job_thread.h
  system/capture/dram_capture_service.h
  system/capture/capture_setup.h
  system/log_handler.h
  system/dram_controller/dram_controller.h
  system/ipu_runtime/prism.h
  oemlock/OemLockProvision.h
  isp/isp.h)
foreach(header IN LISTS talon_public_headers)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${TALON_INSTALL_INCLUDEDIR}/${dir})
endforeach()
if(TALON_HOST_PLATFORM)
  install(FILES platform/prism/prism_sim.h DESTINATION ${TALON_INSTALL_INCLUDEDIR}/platform/prism)
  install(FILES platform/qmi/qmi_sim.h DESTINATION ${TALON_INSTALL_INCLUDEDIR}/platform/qmi)
  foreach(dir syslog cutils qmi pbase)
    install(DIRECTORY platform/${dir}/include/ DESTINATION ${TALON_INSTALL_INCLUDEDIR})
  endforeach()
endif()

install(EXPORT talonTargets NAMESPACE talon:: DESTINATION ${TALON_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/talonConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/talonConfig.cmake
  INSTALL_DESTINATION ${TALON_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/talonConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/talonConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/talonConfigVersion.cmake
  DESTINATION ${TALON_INSTALL_CMAKEDIR})

# The prefix is found relative to the .pc file, so that an installation
# moved with "cmake --install --prefix" stays usable.
file(RELATIVE_PATH talon_pc_to_prefix "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
set(TALON_PC_PREFIX "\${pcfiledir}/${talon_pc_to_prefix}")
foreach(pc IN LISTS talon_pkgconfig_files)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# The checks of the installed tree: exports against the checked-in lists, and
# a small client built against an installed copy with both find_package and
# pkg-config (native, unsanitised builds only).
if(TALON_BUILD_TESTS)
  add_test(NAME libtalon_exports
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/check_exports.sh $<TARGET_FILE:talon>
            ${PROJECT_SOURCE_DIR}/system/libtalon.exports)
  add_test(NAME libwarden_exports
    COMMAND ${PROJECT_SOURCE_DIR}/cmake/check_exports.sh $<TARGET_FILE:warden>
            ${PROJECT_SOURCE_DIR}/oemlock/libwarden.exports)
  if(NOT TALON_SANITIZE AND NOT CMAKE_CROSSCOMPILING)
    add_test(NAME install_consumer
      COMMAND ${PROJECT_SOURCE_DIR}/testing/install_consumer/run.sh
              ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install_consumer)
    set_tests_properties(install_consumer PROPERTIES TIMEOUT 300)
  endif()
endif()
