# Fault tests (included from tests/CMakeLists.txt): every fault of the substitute WFAPI.DLL met
# by the built DLL, and bad log settings met by the DLL in fresh plxprobe.exe processes (test_faults);
# plxprobe.exe --diagnose against scripted sessions, one per failing stage (test_probe).
if(NOT TARGET wfapi_sim OR NOT TARGET plx_srv_citrix32 OR NOT TARGET plxprobe)
  message(STATUS "test_faults, test_probe: waiting for the targets wfapi_sim, plx_srv_citrix32 and plxprobe")
  return()
endif()
foreach(folder IN ITEMS faults probe)
  plx_add_test_binary(test_${folder} ${folder} LIBS wfapi_sim TIMEOUT 300)
  target_sources(test_${folder} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/exports/dll_host.cpp)
  add_dependencies(test_${folder} plx_srv_citrix32 plxprobe)
  # Both write HKCU\Software\Orbivex\Pathlens\Log\server; test_faults may add a file to the default log folder.
  set_tests_properties(test_${folder} PROPERTIES RESOURCE_LOCK plx_log_settings)
endforeach()
# test_probe also reads made-up logs with the probe's own stage reader.
target_sources(test_probe PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe/diagnose_stages.cpp)
target_include_directories(test_probe PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe)
