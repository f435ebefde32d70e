# Fault tests (included from tests/CMakeLists.txt): every fault of the substitute WFAPI.DLL met
# by the built DLL, and bad log settings met by the DLL in fresh plxprobe.exe processes (test_faults);
# plxprobe.exe --diagnose against scripted sessions, one per failing stage (test_probe).
if(NOT TARGET wfapi_sim OR NOT TARGET plx_srv_citrix OR NOT TARGET plxprobe)
  message(STATUS "test_faults, test_probe: waiting for the targets wfapi_sim, plx_srv_citrix and plxprobe")
  return()
endif()
foreach(folder IN ITEMS faults probe)
  plx_add_test_binary(test_${folder} ${folder} LIBS plx_dll_host TIMEOUT 300)
  add_dependencies(test_${folder} plx_srv_citrix plxprobe)
  # Both write HKCU\Software\Orbivex\Pathlens\Log\server; test_faults may add a file to the default log folder.
  set_tests_properties(test_${folder} PROPERTIES RESOURCE_LOCK plx_log_settings)
endforeach()
# test_probe also reads made-up logs with the probe's own stage reader.
target_sources(test_probe PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe/diagnose_stages.cpp)
target_include_directories(test_probe PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe)
# test_faults runs right after a host that is killed in the middle of the fault matrix and so leaves
# its settings and log folder behind: a suite must set up what it relies on, whatever came before.
# It passes only when the kill ended it (exit code 99, which wine-run.sh reports), not a crash or a failure.
add_test(NAME killed_host COMMAND ${PLX_WINE_RUN} --test $<TARGET_FILE:test_faults> --gtest_filter=FaultMatrix.*)
set_tests_properties(killed_host PROPERTIES ENVIRONMENT PLX_TEST_KILL_AFTER_MS=5000 TIMEOUT 120
  PASS_REGULAR_EXPRESSION "killed after 5000 ms, in the middle of its work\r?\n.*closing line: exit status 99 "
  FAIL_REGULAR_EXPRESSION "\\[  (PASSED|FAILED)  \\]"
  FIXTURES_REQUIRED wine FIXTURES_SETUP killed_host RESOURCE_LOCK plx_log_settings)
set_tests_properties(test_faults PROPERTIES FIXTURES_REQUIRED "wine;killed_host")
# The DLL once more, with cycles of 1 s in place of 3 s, back-off steps of 2, 4, 8 and 10 s in
# place of 60, 120, 240 and 300 s and channel reads that wait 1 s in place of 5 s, so that
# reconnect tests count in cycles of seconds.
plx_add_citrix_dll(plx_srv_citrix_testwaits)
target_compile_definitions(plx_srv_citrix_testwaits PRIVATE PLX_TEST_TIMINGS_MS=1000,2000,10000,1000)
set_target_properties(plx_srv_citrix_testwaits PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin-testwaits ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin-testwaits)
add_dependencies(test_faults plx_srv_citrix_testwaits)
