# Hostile-counterpart tests: seeded malformed answers and channel lists. One seed here; PLX_HOSTILE_SEED=all
# (scripts/soak.sh) runs them all, PLX_HOSTILE_SEED=<n> replays one.
plx_add_test_binary(test_hostile hostile LIBS wfapi_sim TIMEOUT 300)
