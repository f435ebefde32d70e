# Hostile-counterpart tests (included from tests/CMakeLists.txt): seeded malformed answers and
# channel lists against the exchanges, channel discovery and the polling task of plx_core, with
# records printed by plxprobe's printer. PLX_HOSTILE_SEED=<n> replays one seed.
if(NOT TARGET wfapi_sim)
  return()
endif()
plx_add_test_binary(test_hostile hostile LIBS wfapi_sim TIMEOUT 300)
target_sources(test_hostile PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe/probe_format.c)
target_include_directories(test_hostile PRIVATE ${CMAKE_SOURCE_DIR}/tools/probe)
