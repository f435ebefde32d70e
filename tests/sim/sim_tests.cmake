# The substitute WFAPI.DLL. Its export tables (undecorated names; each variant lacks its one entry
# point) are proven by test_wfapi_loader, which resolves every name from it and fails at each variant's.
plx_add_test_binary(test_sim sim LIBS wfapi_sim TIMEOUT 120)
