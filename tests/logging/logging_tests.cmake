# Logging tests (included from tests/CMakeLists.txt): registry settings, log paths, and the
# log's life in fresh processes run through log_scenario.exe.
plx_add_test_binary(test_logging logging)
add_executable(log_scenario ${CMAKE_CURRENT_SOURCE_DIR}/logging/helper/log_scenario.cpp)
target_link_libraries(log_scenario PRIVATE plx_core)
add_dependencies(test_logging log_scenario)
# These tests rewrite HKCU\Software\Orbivex\Pathlens\Log and may block the default log
# folder for a moment; every test that touches either should hold this lock.
set_tests_properties(test_logging PROPERTIES RESOURCE_LOCK plx_log_settings)
