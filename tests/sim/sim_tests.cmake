# The substitute WFAPI.DLL; its export tables (undecorated names, also on i686) need no Wine.
plx_add_test_binary(test_sim sim LIBS wfapi_sim TIMEOUT 120)
add_test(NAME sim_exports
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:wfapi_sim>
          -DVARIANTS_DIR=${PLX_SIM_VARIANTS_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check_exports.cmake)
set_tests_properties(sim_exports PROPERTIES LABELS static TIMEOUT 60)
