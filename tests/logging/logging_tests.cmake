# Rewrites HKCU\Software\Orbivex\Pathlens\Log and sets the default log folder aside for a moment.
plx_add_test_binary(test_logging logging TIMEOUT 120)
set_tests_properties(test_logging PROPERTIES RESOURCE_LOCK plx_log_settings)
