# Tests and the demo run under Wine. The x86_64 twin uses wine64, which every machine of
# ours can run; the i686 product needs 32-bit Wine, which only some machines can run.
set(WINE_PREFIX_DIR ${CMAKE_BINARY_DIR}/wineprefix)
if(PLX_ARCH STREQUAL "x86_64")
  set(WINE_LOADER /usr/lib/wine/wine64)
  set(WINE_ARCH win64)
else()
  set(WINE_LOADER /usr/lib/wine/wine)
  set(WINE_ARCH win32)
endif()
find_program(WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT WINESERVER)
  set(WINESERVER /usr/lib/wine/wineserver)
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
  @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(PLX_WINE_RUN ${CMAKE_BINARY_DIR}/wine-run.sh)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PLX_WINE_RUN})
