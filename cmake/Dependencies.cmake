include(FetchContent)

# plog 1.1.11, header-only. An offline machine gets the same release from the shared
# third-party folder beside the project; anyone else fetches the upstream tag.
set(PLX_PLOG_LOCAL ${CMAKE_SOURCE_DIR}/../shared/third_party/plog-1.1.11)
if(NOT DEFINED FETCHCONTENT_SOURCE_DIR_PLOG AND EXISTS ${PLX_PLOG_LOCAL}/include/plog/Log.h)
  set(FETCHCONTENT_SOURCE_DIR_PLOG ${PLX_PLOG_LOCAL} CACHE PATH "plog sources")
endif()
set(PLOG_BUILD_SAMPLES OFF CACHE BOOL "" FORCE)
set(PLOG_INSTALL OFF CACHE BOOL "" FORCE)
FetchContent_Declare(plog
  GIT_REPOSITORY https://github.com/SergiusTheBest/plog.git
  GIT_TAG 1.1.11)
FetchContent_MakeAvailable(plog)

# GoogleTest from Debian's source package, built with the cross toolchain.
if(BUILD_TESTING OR NOT DEFINED BUILD_TESTING)
  set(PLX_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(EXISTS ${PLX_GTEST_SRC}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${PLX_GTEST_SRC} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
  endif()
endif()
