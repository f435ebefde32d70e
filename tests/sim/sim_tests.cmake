# Tests of the substitute WFAPI.DLL (included from tests/CMakeLists.txt).
plx_add_test_binary(test_sim sim LIBS wfapi_sim TIMEOUT 120)

# Export table of WFAPI.DLL and of every variant: undecorated names only (what matters on
# i686, where stdcall decoration would show). Needs no Wine.
add_test(NAME sim_exports
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:wfapi_sim>
          -DVARIANTS_DIR=${PLX_SIM_VARIANTS_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
set_tests_properties(sim_exports PROPERTIES LABELS static TIMEOUT 60)
