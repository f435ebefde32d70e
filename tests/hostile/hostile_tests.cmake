# Hostile-counterpart tests: seeded malformed answers and channel lists. PLX_HOSTILE_SEED=<n> replays one seed.
plx_add_test_binary(test_hostile hostile LIBS wfapi_sim TIMEOUT 300)
