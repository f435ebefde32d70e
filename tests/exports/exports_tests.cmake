# Tests of the DLL as a host sees it (included from tests/CMakeLists.txt).

# Export and import tables of the built binaries; no Wine needed, so it runs in both trees.
add_test(NAME exports_static
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_binaries.sh ${CMAKE_OBJDUMP} ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(exports_static PROPERTIES LABELS static)

# The end-to-end tests need the substitute WFAPI.DLL and the DLL itself.
if(NOT TARGET wfapi_sim OR NOT TARGET plx_srv_citrix32)
  message(STATUS "test_exports: waiting for the targets wfapi_sim and plx_srv_citrix32")
  return()
endif()

# End-to-end host: loads bin/plx_srv_citrix32.dll by path and drives the substitute WFAPI.DLL.
plx_add_test_binary(test_exports exports LIBS wfapi_sim TIMEOUT 300)
target_sources(test_exports PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe/probe_format.c)
target_include_directories(test_exports PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe ${CMAKE_SOURCE_DIR}/sim)

# Hosts in a folder without WFAPI.DLL: a small test host and a copy of the probe.
set(PLX_NOAPI_DIR ${CMAKE_BINARY_DIR}/bin-noapi)
add_executable(noapi_host ${CMAKE_CURRENT_SOURCE_DIR}/exports/noapi/noapi_host.cpp)
target_include_directories(noapi_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_options(noapi_host PRIVATE -municode)
set_target_properties(noapi_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PLX_NOAPI_DIR})
add_custom_command(OUTPUT ${PLX_NOAPI_DIR}/plxprobe.exe
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PLX_NOAPI_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:plxprobe> ${PLX_NOAPI_DIR}/plxprobe.exe
  DEPENDS plxprobe)
add_custom_target(plxprobe_noapi ALL DEPENDS ${PLX_NOAPI_DIR}/plxprobe.exe)
add_dependencies(test_exports plx_srv_citrix32 plxprobe noapi_host plxprobe_noapi)
# It writes the log settings in the registry, as the logging and fault tests do.
set_tests_properties(test_exports PROPERTIES RESOURCE_LOCK plx_log_settings)

