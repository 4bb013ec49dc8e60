# The platform libraries the product links, one target each, named as below
# everywhere: the IPU runtime (prism), the system log (system_log), the
# property store (cutils), the QMI client libraries (qmi_cci, qmiservices) and
# the platform logging (pbase).
#
# By default they are the host stand-ins built from platform/. With
# -DTALON_PLATFORM_ROOT=DIR they are the device's own libraries, imported from
# a vendor root: DIR/lib/lib<name>.so and the headers under DIR/include; then
# nothing under platform/ is compiled. The product includes each platform
# header by the path the vendor root provides (<syslog/system_log.h>,
# <cutils/properties.h>, <qmi/qmi_client.h>, <qmi/dms_service.h>,
# <pbase/logging.h>); the IPU runtime's interface is the product's own
# system/ipu_runtime/prism.h.
#
# Sets TALON_HOST_PLATFORM: ON when the stand-ins are built (host
# conveniences of the tools and everything that needs the simulator, such as
# the tests, are built only then).
set(TALON_PLATFORM_ROOT "" CACHE PATH
  "Vendor root with the device's platform libraries (lib/) and headers (include/); empty: build the host stand-ins")

set(talon_platform_libraries prism system_log cutils qmi_cci qmiservices pbase)
set(talon_platform_headers_system_log syslog/system_log.h)
set(talon_platform_headers_cutils cutils/properties.h)
set(talon_platform_headers_qmi_cci qmi/qmi_client.h)
set(talon_platform_headers_qmiservices qmi/dms_service.h)
set(talon_platform_headers_pbase pbase/logging.h)

if(NOT TALON_PLATFORM_ROOT)
  set(TALON_HOST_PLATFORM ON)
  add_subdirectory(platform)
  return()
endif()

set(TALON_HOST_PLATFORM OFF)
get_filename_component(TALON_PLATFORM_ROOT "${TALON_PLATFORM_ROOT}" ABSOLUTE)
foreach(lib IN LISTS talon_platform_libraries)
  set(path "${TALON_PLATFORM_ROOT}/lib/lib${lib}.so")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "TALON_PLATFORM_ROOT: ${path} is missing")
  endif()
  foreach(header IN LISTS talon_platform_headers_${lib})
    if(NOT EXISTS "${TALON_PLATFORM_ROOT}/include/${header}")
      message(FATAL_ERROR "TALON_PLATFORM_ROOT: ${TALON_PLATFORM_ROOT}/include/${header} is missing")
    endif()
  endforeach()
  add_library(${lib} SHARED IMPORTED GLOBAL)
  set_target_properties(${lib} PROPERTIES
    IMPORTED_LOCATION "${path}"
    INTERFACE_INCLUDE_DIRECTORIES "${TALON_PLATFORM_ROOT}/include")
endforeach()
message(STATUS "Platform libraries from ${TALON_PLATFORM_ROOT}")
