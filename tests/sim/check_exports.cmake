# cmake -DOBJDUMP=... -DDLL=.../WFAPI.DLL -DVARIANTS_DIR=... -P check_exports.cmake: the substitute exports the
# fourteen names undecorated (no _, no @N) besides wfsim_* controls; each variant lacks exactly its one.
set(WFAPI_NAMES WFFreeMemory WFQuerySessionInformationW WFSmcCloseSessionHandle WFSmcGetServerData
  WFSmcGetSessionDataV2 WFSmcGetSessionLatencyData WFSmcGetSessionVirtualChannelNames WFSmcOpenSessionHandle
  WFVirtualChannelClose WFVirtualChannelOpen WFVirtualChannelQuery WFVirtualChannelRead WFVirtualChannelWrite
  WFWaitSystemEvent)  # sorted
function(check_dll dll missing)
  execute_process(COMMAND ${OBJDUMP} -p ${dll} OUTPUT_VARIABLE dump)
  string(FIND "${dump}" "[Ordinal/Name Pointer] Table" start)
  if(start LESS 0)
    message(FATAL_ERROR "${dll}: missing or without an export name table")
  endif()
  string(SUBSTRING "${dump}" ${start} -1 table)
  string(REGEX MATCHALL "\n[ \t]*\\[[ 0-9]+\\] [^ \t\n]+" names "${table}")
  list(TRANSFORM names REPLACE "^\n[ \t]*\\[[ 0-9]+\\] " "")
  list(FILTER names EXCLUDE REGEX "^wfsim_[a-z0-9_]+$")
  list(SORT names)
  set(expected ${WFAPI_NAMES})
  list(REMOVE_ITEM expected "${missing}")
  if(NOT names STREQUAL expected)
    message(SEND_ERROR "${dll}: exports ${names}, expected ${expected}")
  endif()
endfunction()
check_dll(${DLL} "")
get_filename_component(name ${DLL} NAME)
foreach(missing IN LISTS WFAPI_NAMES)
  check_dll(${VARIANTS_DIR}/missing-${missing}/${name} ${missing})
endforeach()
