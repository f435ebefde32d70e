#include "citrix/channel_discovery.h"

#include <plog/Log.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "citrix/handle_text.h"
#include "citrix/wfapi_loader.h"
#include "utils/oxe_auto_handle.h"
#include "utils/string_utils.h"
#include "utils/system_error.h"

namespace {

const std::string CHANNEL_LOG_SEPARATOR(88, '-');

// The name of entry `index`: a wide string from byte 8 of its 24-byte entry. A name that
// fills its entry without a terminator ends with the entry, so no read leaves the entry.
std::wstring channelEntryName(const BYTE* list, size_t index) {
    const wchar_t* name =
        reinterpret_cast<const wchar_t*>(list + index * WF_CHANNEL_ENTRY_SIZE + WF_CHANNEL_NAME_OFFSET);
    const size_t capacity = (WF_CHANNEL_ENTRY_SIZE - WF_CHANNEL_NAME_OFFSET) / sizeof(wchar_t);
    return std::wstring(name, wcsnlen(name, capacity));
}

}  // namespace

int queryOXChannelPresence(const std::string& channelName) {
    const std::string target = OxeUtils::toLower(channelName);
    PLOGD << "Calling queryOXChannelPresence to find if our custom channel presents...[ channel name = " << target
          << "]";
    PLOGD << "Listing all channels on the client side ...";
    PLOGD << "\tCalling ProcessIdToSessionId with current process....";

    DWORD sessionId = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &sessionId) == 0) {
        PLOGE << "ProcessIdToSessionId failed with error : [" << GetLastError() << "] : "
              << OxeUtils::errorSuffix(GetLastError());
        return -150;
    }
    PLOGD << "ProcessIdToSessionId call is OK; Querying VC names for session id : " << sessionId;
    PLOGD << "\tCalling _WFSmcOpenSessionHandle with parameters : server handle =  WF_CURRENT_SERVER_HANDLE"
          << ";sessionId = " << sessionId;

    auto session = OxeUtils::makeAutoHandle<void*>(nullptr, [](void* handle) {
        _glWFAPITable.WFSmcCloseSessionHandle(WF_CURRENT_SERVER_HANDLE, handle);
    });
    DWORD status = _glWFAPITable.WFSmcOpenSessionHandle(WF_CURRENT_SERVER_HANDLE, sessionId, session.addressOf());
    if (status != 0 || session.get() == nullptr) {
        PLOGE << "WFSmcOpenSessionHandle failed with error : [" << GetLastError() << "] : "
              << OxeUtils::errorSuffix(GetLastError()) << " ;SessionId = " << sessionId << "; status = " << status;
        return -104;
    }
    PLOGD << "WFSmcOpenSessionHand call is OK; Session Handle = " << handleText(session.get());
    PLOGD << ">> WFSmcGetSessionVirtualChannelNames ...";

    // Zero-filled, so entries the WFAPI counts but does not write read as empty names.
    alignas(8) BYTE list[WF_CHANNEL_LIST_BUFFER_SIZE] = {};
    DWORD count = 0;
    status = _glWFAPITable.WFSmcGetSessionVirtualChannelNames(WF_CURRENT_SERVER_HANDLE, session.get(),
                                                              WF_CHANNEL_LIST_BUFFER_SIZE, list, &count);
    if (status != 0) {
        PLOGE << "WFSmcGetSessionVirtualChannelNames failed with error : [" << GetLastError() << "] : "
              << OxeUtils::errorSuffix(GetLastError()) << " ;SessionId = " << sessionId << "; status = " << status;
        return -125;
    }
    PLOGD << " === WFSmcGetSessionVirtualChannelNames succeeded, virtual channel count = " << count
          << "; list of vchannels : ";

    // A count beyond what the buffer can hold is cut to the 256 entries the buffer has room
    // for; the list is still searched, and nothing past the buffer is read.
    const size_t entries = std::min<size_t>(count, WF_CHANNEL_LIST_MAX_ENTRIES);
    bool found = false;
    bool unconvertibleReported = false;
    for (size_t i = 0; i < entries; ++i) {
        // The list comes from the client. A name that is not valid UTF-16 cannot be ours: it is
        // passed over, and the first such name of a listing is reported, the others not, so a
        // client that sends many of them does not flood the log every cycle.
        std::string converted;
        if (!OxeUtils::tryWideToUtf8(channelEntryName(list, i), converted)) {
            if (!unconvertibleReported) {
                PLOGW << "\t\t|-- Virtual channel [" << i << "] : name is not valid UTF-16, skipped";
                unconvertibleReported = true;
            }
            continue;
        }
        const std::string name = OxeUtils::toLower(converted);
        PLOGI << "\t\t|-- Virtual channel found  : [" << i << "] : " << name;
        if (name == target) {
            found = true;
            break;
        }
    }

    if (found) {
        PLOGD << CHANNEL_LOG_SEPARATOR;
        PLOGD << "Virtual channel " << target << " found";
        PLOGD << CHANNEL_LOG_SEPARATOR;
        return 0;
    }
    PLOGW << CHANNEL_LOG_SEPARATOR;
    PLOGW << "Virtual channel " << target << " does not exist on client side";
    PLOGW << CHANNEL_LOG_SEPARATOR;
    return -141;
}

int tryOpenVirtualChannel(HANDLE* channelOut, _VDOXLENS_C2H** dataOut, DWORD* lengthOut) {
    PLOGD << ">> Trying to open virtual channel " << OXLENS_CHANNEL_NAME;

    char channelName[] = "OXLENS";
    *channelOut = _glWFAPITable.WFVirtualChannelOpen(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, channelName);
    if (*channelOut == nullptr) {
        const DWORD code = GetLastError();
        PLOGE << " === WFVirtualChannelOpen failed: " << OxeUtils::errorSuffix(code);
        return -124;
    }
    PLOGD << " === WFVirtualChannelOpen has been opened successfully; handle = 0x" << handleText(*channelOut) << "\n";

    PLOGD << ">> WFVirtualChannelQuery [WFVirtualClientData] on channel " << OXLENS_CHANNEL_NAME << "...";
    if (!_glWFAPITable.WFVirtualChannelQuery(*channelOut, WFVirtualClientData, reinterpret_cast<PVOID*>(dataOut),
                                             lengthOut)) {
        const DWORD code = GetLastError();
        PLOGE << " === WFVirtualChannelQuery failed: " << OxeUtils::errorSuffix(code);
        return -125;
    }
    // Logged at error on purpose: the success of the query shows whenever errors are logged.
    PLOGE << " === WFVirtualChannelQuery success";
    return 0;
}
