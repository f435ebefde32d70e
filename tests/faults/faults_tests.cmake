# Fault tests (included from tests/CMakeLists.txt): every fault of the substitute WFAPI.DLL met
# by the built DLL, and bad log settings met by the DLL in fresh plxprobe.exe processes.
if(NOT TARGET wfapi_sim OR NOT TARGET plx_srv_citrix32 OR NOT TARGET plxprobe)
  message(STATUS "test_faults: waiting for the targets wfapi_sim, plx_srv_citrix32 and plxprobe")
  return()
endif()
plx_add_test_binary(test_faults faults LIBS wfapi_sim TIMEOUT 300)
target_sources(test_faults PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/exports/dll_host.cpp)
add_dependencies(test_faults plx_srv_citrix32 plxprobe)
# Writes HKCU\Software\Orbivex\Pathlens\Log\server and may add a file to the default log folder.
set_tests_properties(test_faults PROPERTIES RESOURCE_LOCK plx_log_settings)
# The DLL once more, with back-off steps of 2, 4, 8 and 10 s in place of 60, 120, 240 and
# 300 s (its cycles keep their 3 s), so that a test can take a disconnect past the longer steps.
plx_add_citrix_dll(plx_srv_citrix32_testwaits)
target_compile_definitions(plx_srv_citrix32_testwaits PRIVATE PLX_TEST_PENDING_WAITS_MS=2000,10000)
set_target_properties(plx_srv_citrix32_testwaits PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin-testwaits ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin-testwaits)
add_dependencies(test_faults plx_srv_citrix32_testwaits)
