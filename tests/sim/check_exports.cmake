# cmake -DOBJDUMP=... -DDLL=.../WFAPI.DLL -DVARIANTS_DIR=... -P check_exports.cmake
# WFAPI.DLL must export the fourteen WinFrame API names exactly as the product looks them up
# (no leading underscore, no @N) and nothing else but wfsim_* control functions; each variant
# lacks exactly its one entry point.
cmake_minimum_required(VERSION 3.20)
set(WFAPI_NAMES
  WFFreeMemory WFQuerySessionInformationW WFVirtualChannelOpen WFVirtualChannelClose
  WFVirtualChannelQuery WFVirtualChannelWrite WFVirtualChannelRead WFWaitSystemEvent
  WFSmcOpenSessionHandle WFSmcCloseSessionHandle WFSmcGetSessionLatencyData
  WFSmcGetSessionVirtualChannelNames WFSmcGetSessionDataV2 WFSmcGetServerData)

function(read_exports dll out)
  if(NOT EXISTS ${dll})
    message(FATAL_ERROR "missing ${dll} (build it first)")
  endif()
  execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${dll} failed")
  endif()
  # The name table lists "[ n] name" lines after "[Ordinal/Name Pointer] Table".
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
  if(start LESS 0)
    message(FATAL_ERROR "${dll} has no export name table")
  endif()
  string(SUBSTRING "${dump}" ${start} -1 table)
  string(REGEX MATCHALL "\n[ \t]*\\[[ 0-9]+\\] [^\n]+" lines "${table}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n[ \t]*\\[[ 0-9]+\\] " "" name "${line}")
    string(STRIP "${name}" name)
    list(APPEND names "${name}")
  endforeach()
  set(${out} "${names}" PARENT_SCOPE)
endfunction()

# Checks one DLL's exports against the expected WinFrame API names.
function(check_dll dll expected)
  read_exports(${dll} names)
  foreach(name IN LISTS expected)
    if(NOT name IN_LIST names)
      message(SEND_ERROR "${dll}: ${name} is not exported undecorated (exports: ${names})")
    endif()
  endforeach()
  foreach(name IN LISTS names)
    if(name IN_LIST expected)
      continue()
    endif()
    if(NOT name MATCHES "^wfsim_[a-z0-9_]+$")
      message(SEND_ERROR "${dll}: unexpected export \"${name}\"")
    endif()
  endforeach()
  if(NOT "wfsim_reset" IN_LIST names)
    message(SEND_ERROR "${dll}: the control API is not exported")
  endif()
endfunction()

check_dll(${DLL} "${WFAPI_NAMES}")
foreach(missing IN LISTS WFAPI_NAMES)
  set(expected ${WFAPI_NAMES})
  list(REMOVE_ITEM expected ${missing})
  set(variant ${VARIANTS_DIR}/missing-${missing}/WFAPI.DLL)
  check_dll(${variant} "${expected}")
  read_exports(${variant} names)
  if(${missing} IN_LIST names)
    message(SEND_ERROR "${variant} still exports ${missing}")
  endif()
endforeach()
message(STATUS "WFAPI.DLL and its 14 variants export undecorated names only")
