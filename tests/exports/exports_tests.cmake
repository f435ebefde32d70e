# Tests of the DLL as a host sees it (included from tests/CMakeLists.txt).

# Export and import tables of the built binaries; no Wine needed, so it runs in both trees.
add_test(NAME exports_static
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_binaries.sh ${CMAKE_OBJDUMP} ${PROJECT_VERSION}
          ${CMAKE_BINARY_DIR}/bin/${PLX_DLL_NAME} ${CMAKE_BINARY_DIR}/bin/plxprobe.exe ${CMAKE_BINARY_DIR}/bin/${PLX_WFAPI_NAME})
set_tests_properties(exports_static PROPERTIES LABELS static)

# The end-to-end tests need the substitute WFAPI.DLL and the DLL itself.
if(NOT TARGET wfapi_sim OR NOT TARGET plx_srv_citrix)
  message(STATUS "test_exports: waiting for the targets wfapi_sim and plx_srv_citrix")
  return()
endif()

# End-to-end host: loads bin/<PLX_DLL_NAME> by path and drives the substitute WinFrame API.
# Its host equipment (exports/dll_host.cpp) is shared with test_faults and test_probe.
add_library(plx_dll_host STATIC ${CMAKE_CURRENT_SOURCE_DIR}/exports/dll_host.cpp)
target_link_libraries(plx_dll_host PUBLIC plx_test_support wfapi_sim)
target_compile_options(plx_dll_host PRIVATE ${PLX_TEST_COMPILE_OPTIONS})
plx_add_test_binary(test_exports exports LIBS plx_dll_host TIMEOUT 300)
# A host frame with an SEH handler of its own, shared with the child hosts.
target_sources(test_exports PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/exports/child/host_frame.cpp)
# Small child hosts in a folder without the WinFrame API.
add_executable(child_host ${CMAKE_CURRENT_SOURCE_DIR}/exports/child/child_host.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/exports/child/host_frame.cpp)
target_compile_options(child_host PRIVATE ${PLX_TEST_COMPILE_OPTIONS})
target_include_directories(child_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_options(child_host PRIVATE -municode)
set_target_properties(child_host PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin-noapi)
add_dependencies(test_exports plx_srv_citrix child_host)
# It writes the log settings in the registry, as the logging and fault tests do.
set_tests_properties(test_exports PROPERTIES RESOURCE_LOCK plx_log_settings)
