#include "citrix/session_queries.h"

#include <plog/Log.h>

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "citrix/handle_text.h"
#include "citrix/wfapi_loader.h"
#include "utils/oxe_auto_handle.h"
#include "utils/string_utils.h"
#include "utils/system_error.h"

const char* const connectStateNames[10] = {
    "WFActive [User logged on to WinStation]",
    "WFConnected [WinStation connected to client]",
    "WFConnectQuery [In the process of connecting to client]",
    "WFShadow [Shadowing another WinStation]",
    "WFDisconnected [WinStation logged on without client]",
    "WFIdle [Waiting for client to connec]t",
    "WFListen [WinStation is listening for connection]",
    "WFReset [WinStation is being reset]",
    "WFDown [WinStation is down due to error]",
    "WFInit [WinStation in initialization]",
};

// A state the table does not know (10 and above) gets one neutral text; the query still
// stores the value and succeeds.
const char* connectStateText(DWORD state) {
    if (state < sizeof(connectStateNames) / sizeof(connectStateNames[0])) {
        return connectStateNames[state];
    }
    return "WFUnknown [Connect state not known]";
}

namespace {

// Queries one information class of the caller's own session into the holder's buffer.
template <typename Holder>
BOOL querySessionInformation(WF_INFO_CLASS infoClass, Holder& buffer, DWORD* bytes) {
    *bytes = 0;
    return _glWFAPITable.WFQuerySessionInformationW(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, infoClass,
                                                     buffer.addressOf(), bytes);
}

// The first 16-bit unit of a returned buffer, zero-extended; only those two bytes count.
DWORD firstUnit(const wchar_t* buffer) { return static_cast<DWORD>(static_cast<uint16_t>(buffer[0])); }

}  // namespace

int querySessionID(DWORD* sessionId) {
    *sessionId = 0;
    DWORD bytes = 0;
    auto buffer = OxeUtils::makeAutoHandle<wchar_t*>(nullptr, [](wchar_t* memory) {
        _glWFAPITable.WFFreeMemory(memory);
    });
    PLOGD << ">> WFQuerySessionInformation for WFSessionId ...";
    // A call that reports success without a buffer has answered nothing: it counts as failed.
    if (!querySessionInformation(WFSessionId, buffer, &bytes) || buffer.get() == nullptr) {
        const DWORD code = GetLastError();
        PLOGE << " === WFQuerySessionInformation failed: " << OxeUtils::errorSuffix(code);
        return -101;
    }
    *sessionId = firstUnit(buffer.get());
    if (*sessionId == 0) {
        PLOGE << " === WFQuerySessionInformation: server dll does not run in ICA session(SessionID = 0)";
        return -102;
    }
    PLOGD << " === WFQuerySessionInformation success: SessionID = " << *sessionId;
    return 0;
}

int querySessionState(DWORD* state) {
    *state = WFIdle;
    DWORD bytes = 0;
    auto buffer = OxeUtils::makeAutoHandle<wchar_t*>(nullptr, [](wchar_t* memory) {
        _glWFAPITable.WFFreeMemory(memory);
    });
    PLOGD << ">> WFQuerySessionInformation for WFConnectState ...";
    // A call that reports success without a buffer has answered nothing: it counts as failed.
    if (!querySessionInformation(WFConnectState, buffer, &bytes) || buffer.get() == nullptr) {
        const DWORD code = GetLastError();
        PLOGE << " === WFQuerySessionInformation failed: " << OxeUtils::errorSuffix(code);
        return -103;
    }
    *state = firstUnit(buffer.get());
    PLOGD << " === WFQuerySessionInformation success; WFConnectState = " << connectStateText(*state);
    return 0;
}

int queryVDAVersion() {
    PLOGD << "Calling WFQuerySessionInformation for WFVersion...";
    DWORD bytes = 0;
    auto buffer = OxeUtils::makeAutoHandle<wchar_t*>(nullptr, [](wchar_t* memory) {
        _glWFAPITable.WFFreeMemory(memory);
    });
    // A call that reports success without a buffer has answered nothing: it counts as failed.
    if (!querySessionInformation(WFVersion, buffer, &bytes) || buffer.get() == nullptr) {
        const DWORD code = GetLastError();
        PLOGE << " === WFQuerySessionInformation failed: " << OxeUtils::errorSuffix(code);
        return -138;
    }
    const WFVersionInfo* version = reinterpret_cast<const WFVersionInfo*>(buffer.get());
    // The CSD text ends at its terminator, and never later than the reported buffer size
    // when the WFAPI reports one.
    const size_t csdOffset = offsetof(WFVersionInfo, csdVersion);
    std::wstring csd;
    if (bytes > csdOffset) {
        csd.assign(version->csdVersion, wcsnlen(version->csdVersion, (bytes - csdOffset) / sizeof(WCHAR)));
    } else {
        csd.assign(version->csdVersion);
    }
    PLOGD << " === WFQuerySessionInformation success; VDA Version : \n\tmajor = " << version->majorVersion
          << "; \n\tminor = " << version->minorVersion << ";\n\tbuild number = " << version->buildNumber
          << ";\n\tPlatform ID = " << version->platformId << ";\n\tCSD version = " << OxeUtils::wideToUtf8(csd);
    return 0;
}

int openSessionHandle(DWORD sessionId, HANDLE* session) {
    *session = nullptr;
    PLOGD << ">> WFSmcOpenSessionHandle ...";
    const DWORD status = _glWFAPITable.WFSmcOpenSessionHandle(WF_CURRENT_SERVER_HANDLE, sessionId, session);
    if (status != 0) {
        const DWORD code = GetLastError();
        PLOGE << " === WFSmcOpenSessionHandle: " << OxeUtils::errorSuffix(code);
        return -104;
    }
    PLOGD << " === WFSmcOpenSessionHandle has been opened successfully; handle = 0x" << handleText(*session);
    return 0;
}
