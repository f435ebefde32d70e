# plxprobe.exe --diagnose in fresh processes against scripted sessions (included from tests/CMakeLists.txt).
if(NOT TARGET wfapi_sim OR NOT TARGET plx_srv_citrix32 OR NOT TARGET plxprobe)
  message(STATUS "test_probe: waiting for the targets wfapi_sim, plx_srv_citrix32 and plxprobe")
  return()
endif()
plx_add_test_binary(test_probe probe LIBS wfapi_sim TIMEOUT 300)
target_sources(test_probe PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/exports/dll_host.cpp)
add_dependencies(test_probe plx_srv_citrix32 plxprobe)
# Rewrites HKCU\Software\Orbivex and switches the log settings through the probe.
set_tests_properties(test_probe PROPERTIES RESOURCE_LOCK plx_log_settings)
