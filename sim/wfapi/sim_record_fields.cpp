#include "sim_record_fields.h"

#include "plx_srv_citrix.h"

namespace wfsim {

#define WFSIM_FIELD(type, key, member, kind) \
    { key, offsetof(type, member), sizeof(static_cast<type*>(nullptr)->member), FieldKind::kind }

const RecordField kClientInfoFields[] = {
    WFSIM_FIELD(ClientInfo, "user_name", userName, Text),
    WFSIM_FIELD(ClientInfo, "computer_name", computerName, Text),
    WFSIM_FIELD(ClientInfo, "clientText1", clientText1, Text),
    WFSIM_FIELD(ClientInfo, "clientText2", clientText2, Text),
    WFSIM_FIELD(ClientInfo, "clientText3", clientText3, Text),
    WFSIM_FIELD(ClientInfo, "clientText4", clientText4, Text),
    WFSIM_FIELD(ClientInfo, "clientReal1", clientReal1, Real),
    WFSIM_FIELD(ClientInfo, "clientText5", clientText5, Text),
    WFSIM_FIELD(ClientInfo, "clientText6", clientText6, Text),
    WFSIM_FIELD(ClientInfo, "clientText7", clientText7, Text),
    WFSIM_FIELD(ClientInfo, "clientText8", clientText8, Text),
    WFSIM_FIELD(ClientInfo, "clientValue1", clientValue1, Int32),
    WFSIM_FIELD(ClientInfo, "clientText9", clientText9, Text),
    WFSIM_FIELD(ClientInfo, "clientValue2", clientValue2, Int32),
    WFSIM_FIELD(ClientInfo, "clientText10", clientText10, Text),
    WFSIM_FIELD(ClientInfo, "clientText11", clientText11, Text),
    WFSIM_FIELD(ClientInfo, "clientText12", clientText12, Text),
    WFSIM_FIELD(ClientInfo, "clientText13", clientText13, Text),
    WFSIM_FIELD(ClientInfo, "clientValue3", clientValue3, Int32),
    WFSIM_FIELD(ClientInfo, "clientValue4", clientValue4, Int32),
    WFSIM_FIELD(ClientInfo, "clientValue5", clientValue5, Int32),
    WFSIM_FIELD(ClientInfo, "clientText14", clientText14, Text),
    WFSIM_FIELD(ClientInfo, "clientText15", clientText15, Text),
    WFSIM_FIELD(ClientInfo, "clientValue6", clientValue6, Int32),
    WFSIM_FIELD(ClientInfo, "clientText16", clientText16, Text),
};
const size_t kClientInfoFieldCount = sizeof(kClientInfoFields) / sizeof(kClientInfoFields[0]);

const RecordField kClientInfoV2Fields[] = {
    WFSIM_FIELD(ClientInfoV2Ext, "extText1", extText1, Text),
    WFSIM_FIELD(ClientInfoV2Ext, "extValue1", extValue1, Int32),
    WFSIM_FIELD(ClientInfoV2Ext, "extValue2", extValue2, Int32),
    WFSIM_FIELD(ClientInfoV2Ext, "extText2", extText2, Text),
    WFSIM_FIELD(ClientInfoV2Ext, "extText3", extText3, Text),
    WFSIM_FIELD(ClientInfoV2Ext, "extValue3", extValue3, Int32),
};
const size_t kClientInfoV2FieldCount = sizeof(kClientInfoV2Fields) / sizeof(kClientInfoV2Fields[0]);

#undef WFSIM_FIELD

}  // namespace wfsim
