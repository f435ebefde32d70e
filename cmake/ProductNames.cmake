# The names each architecture ships and loads, and the version, in one place. Code reads them
# from the generated header plx_build_info.h; CMake code from the variables below.
#   PLX_DLL_BASENAME / PLX_DLL_NAME      the plug-in: plx_srv_citrix32.dll or plx_srv_citrix64.dll
#   PLX_WFAPI_BASENAME / PLX_WFAPI_NAME  the WinFrame API it loads: WFAPI.DLL or WFAPI64.DLL
#   PLX_ARCH_BITS                        32 or 64
# A 64-bit process cannot load the 32-bit WinFrame API; the VDA installs WFAPI64.DLL for it.
if(PLX_ARCH STREQUAL "i686")
  set(PLX_ARCH_BITS 32)
  set(PLX_WFAPI_BASENAME WFAPI)
else()
  set(PLX_ARCH_BITS 64)
  set(PLX_WFAPI_BASENAME WFAPI64)
endif()
set(PLX_DLL_BASENAME plx_srv_citrix${PLX_ARCH_BITS})
set(PLX_DLL_NAME ${PLX_DLL_BASENAME}.dll)
set(PLX_WFAPI_NAME ${PLX_WFAPI_BASENAME}.DLL)
# Windows shows file and product versions in four parts: the project's three, then the tweak
# number (0 unless project() gives one). PLX_VERSION_TEXT, the log banner and the package name
# keep the project's own version.
if(PROJECT_VERSION_TWEAK STREQUAL "")
  set(PLX_VERSION_TWEAK 0)
else()
  set(PLX_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(PLX_FILE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${PLX_VERSION_TWEAK}")
set(PLX_COMPANY_NAME "Orbivex")
set(PLX_PRODUCT_NAME "Pathlens")
# Fixed, not the build date: the same sources give the same binaries.
set(PLX_COPYRIGHT "Copyright (C) 2026 Orbivex. All rights reserved.")

set(PLX_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/plx_build_info.h.in ${PLX_GENERATED_DIR}/plx_build_info.h @ONLY)
include_directories(${PLX_GENERATED_DIR})

# plx_add_version_resource(<target> FILE_NAME <name.ext> DESCRIPTION <text>): a VERSIONINFO
# resource with the project's version, linked into the target.
function(plx_add_version_resource target)
  cmake_parse_arguments(ARG "" "FILE_NAME;DESCRIPTION" "" ${ARGN})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(PLX_RC_FILE_TYPE VFT_DLL)
  else()
    set(PLX_RC_FILE_TYPE VFT_APP)
  endif()
  set(PLX_RC_FILE_NAME ${ARG_FILE_NAME})
  set(PLX_RC_DESCRIPTION ${ARG_DESCRIPTION})
  get_filename_component(PLX_RC_INTERNAL_NAME ${ARG_FILE_NAME} NAME_WE)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
