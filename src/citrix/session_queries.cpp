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

// Holder of a buffer that WFQuerySessionInformationW hands out.
auto makeQueryBuffer() {
    return OxeUtils::makeAutoHandle<wchar_t*>(nullptr, [](wchar_t* memory) { _glWFAPITable.WFFreeMemory(memory); });
}

// Queries one information class of the caller's own session into the holder's buffer.
// Returns "" when the WFAPI answered with a buffer, otherwise the tail of the failure line.
// A call that reports success without a buffer has answered nothing; its last-error code
// belongs to some earlier call, so that case gets a text of its own.
template <typename Holder>
std::string querySessionInformation(WF_INFO_CLASS infoClass, Holder& buffer, DWORD* bytes) {
    *bytes = 0;
    if (!_glWFAPITable.WFQuerySessionInformationW(WF_CURRENT_SERVER_HANDLE, WF_CURRENT_SESSION, infoClass,
                                                   buffer.addressOf(), bytes)) {
        return OxeUtils::errorSuffix(GetLastError());
    }
    if (buffer.get() == nullptr) {
        return "the call reported success but handed back no buffer";
    }
    return std::string();
}

const char* const QUERY_FAILED = " === WFQuerySessionInformation failed: ";

// The first 16-bit unit of a returned buffer, zero-extended; only those two bytes count.
DWORD firstUnit(const wchar_t* buffer) { return static_cast<DWORD>(static_cast<uint16_t>(buffer[0])); }

// A version answer holds the four numbers and then the CSD text, at least its terminator.
constexpr size_t CSD_OFFSET = offsetof(WFVersionInfo, csdVersion);
constexpr size_t MIN_VERSION_ANSWER = CSD_OFFSET + sizeof(WCHAR);

}  // namespace

int querySessionID(DWORD* sessionId) {
    *sessionId = 0;
    DWORD bytes = 0;
    auto buffer = makeQueryBuffer();
    PLOGD << ">> WFQuerySessionInformation for WFSessionId ...";
    const std::string failure = querySessionInformation(WFSessionId, buffer, &bytes);
    if (!failure.empty()) {
        PLOGE << QUERY_FAILED << failure;
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

int querySessionState(DWORD* state, bool logFailure) {
    *state = WFIdle;
    DWORD bytes = 0;
    auto buffer = makeQueryBuffer();
    PLOGD << ">> WFQuerySessionInformation for WFConnectState ...";
    const std::string failure = querySessionInformation(WFConnectState, buffer, &bytes);
    if (!failure.empty()) {
        if (logFailure) {
            PLOGE << QUERY_FAILED << failure;
        }
        return -103;
    }
    *state = firstUnit(buffer.get());
    PLOGD << " === WFQuerySessionInformation success; WFConnectState = " << connectStateText(*state);
    return 0;
}

int queryVDAVersion() {
    PLOGD << "Calling WFQuerySessionInformation for WFVersion...";
    DWORD bytes = 0;
    auto buffer = makeQueryBuffer();
    const std::string failure = querySessionInformation(WFVersion, buffer, &bytes);
    if (!failure.empty()) {
        PLOGE << QUERY_FAILED << failure;
        return -138;
    }
    // Nothing is read beyond the size the WFAPI reports. An answer that cannot hold the
    // numbers and the start of the CSD text is a failed query.
    if (bytes < MIN_VERSION_ANSWER) {
        PLOGE << QUERY_FAILED << "the WFVersion answer is too short: " << bytes << " bytes, at least "
              << MIN_VERSION_ANSWER << " expected";
        return -138;
    }
    const WFVersionInfo* version = reinterpret_cast<const WFVersionInfo*>(buffer.get());
    // The CSD text ends at its terminator, or at the end of the answer if it has none there.
    const std::wstring csd(version->csdVersion, wcsnlen(version->csdVersion, (bytes - CSD_OFFSET) / sizeof(WCHAR)));
    // The text is only logged: one that is not valid UTF-16 must not cost the cycle.
    std::string csdText = "(not valid UTF-16)";
    OxeUtils::tryWideToUtf8(csd, csdText);
    PLOGD << " === WFQuerySessionInformation success; VDA Version : \n\tmajor = " << version->majorVersion
          << "; \n\tminor = " << version->minorVersion << ";\n\tbuild number = " << version->buildNumber
          << ";\n\tPlatform ID = " << version->platformId << ";\n\tCSD version = " << csdText;
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
