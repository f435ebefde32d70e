#pragma once
// The text arrays of the public records, for checks that read each text only within its array.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "plx_srv_citrix.h"

namespace records {

struct TextField {
    const char* name;
    size_t offset;  // within ClientInfo or ClientInfoV2Ext
    size_t size;    // the whole array, terminator included
};

#define PLX_TEXT_FIELD(Record, field) TextField{#field, offsetof(Record, field), sizeof(Record::field)}

inline const std::vector<TextField>& clientInfoTexts() {
    static const std::vector<TextField> fields = {
        PLX_TEXT_FIELD(ClientInfo, userName),     PLX_TEXT_FIELD(ClientInfo, computerName),
        PLX_TEXT_FIELD(ClientInfo, clientText1),  PLX_TEXT_FIELD(ClientInfo, clientText2),
        PLX_TEXT_FIELD(ClientInfo, clientText3),  PLX_TEXT_FIELD(ClientInfo, clientText4),
        PLX_TEXT_FIELD(ClientInfo, clientText5),  PLX_TEXT_FIELD(ClientInfo, clientText6),
        PLX_TEXT_FIELD(ClientInfo, clientText7),  PLX_TEXT_FIELD(ClientInfo, clientText8),
        PLX_TEXT_FIELD(ClientInfo, clientText9),  PLX_TEXT_FIELD(ClientInfo, clientText10),
        PLX_TEXT_FIELD(ClientInfo, clientText11), PLX_TEXT_FIELD(ClientInfo, clientText12),
        PLX_TEXT_FIELD(ClientInfo, clientText13), PLX_TEXT_FIELD(ClientInfo, clientText14),
        PLX_TEXT_FIELD(ClientInfo, clientText15), PLX_TEXT_FIELD(ClientInfo, clientText16),
    };
    return fields;
}

inline const std::vector<TextField>& extTexts() {
    static const std::vector<TextField> fields = {
        PLX_TEXT_FIELD(ClientInfoV2Ext, extText1),
        PLX_TEXT_FIELD(ClientInfoV2Ext, extText2),
        PLX_TEXT_FIELD(ClientInfoV2Ext, extText3),
    };
    return fields;
}

#undef PLX_TEXT_FIELD

// The length of each text, read only within its array (the array's size when it lacks a NUL).
inline size_t textLength(const void* record, const TextField& field) {
    return strnlen(static_cast<const char*>(record) + field.offset, field.size);
}

// Names of the texts that fill their whole array without a terminator.
inline std::string unterminated(const void* record, const std::vector<TextField>& fields) {
    std::string names;
    for (const auto& f : fields)
        if (textLength(record, f) == f.size) names += std::string(names.empty() ? "" : ",") + f.name;
    return names;
}

}  // namespace records
