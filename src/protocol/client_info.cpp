#include "protocol/client_info.h"

#include "utils/string_utils.h"

ClientInfo _glClientInfo;
ClientInfoV2 _glClientInfo_v2;
std::mutex _glClientInfoMutex;

namespace {

template <size_t N>
void emptyText(char (&text)[N]) {
    OxeUtils::formatString(text, N - 1, "%s", "");
}

}  // namespace

void resetClientInfo(ClientInfo* info) {
    info->latency = -1;
    emptyText(info->userName);
    emptyText(info->computerName);
    emptyText(info->clientText1);
    emptyText(info->clientText2);
    emptyText(info->clientText3);
    emptyText(info->clientText4);
    info->clientReal1 = -1.0;
    emptyText(info->clientText5);
    emptyText(info->clientText6);
    emptyText(info->clientText7);
    emptyText(info->clientText8);
    info->clientValue1 = -1;
    emptyText(info->clientText9);
    info->clientValue2 = -1;
    emptyText(info->clientText10);
    emptyText(info->clientText11);
    emptyText(info->clientText12);
    emptyText(info->clientText13);
    info->clientValue3 = -1;
    info->clientValue4 = -1;
    info->readFailurePercent = -1;
    info->clientValue5 = -1;
    emptyText(info->clientText14);
    emptyText(info->clientText15);
    info->clientValue6 = -1;
    emptyText(info->clientText16);
}

void resetClientInfoV2Ext(ClientInfoV2Ext* ext) {
    emptyText(ext->extText1);
    ext->extValue1 = -1;
    ext->extValue2 = -1;
    emptyText(ext->extText2);
    emptyText(ext->extText3);
    ext->extValue3 = -1;
}
