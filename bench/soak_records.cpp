#include "soak_records.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace soak {

namespace {

struct TextField {
    const char* name;
    size_t offset;
    size_t size;
};

#define SOAK_TEXT(type, field) {#field, offsetof(type, field), sizeof(((type*)nullptr)->field)}

const TextField kV1Texts[] = {
    SOAK_TEXT(ClientInfo, userName),     SOAK_TEXT(ClientInfo, computerName), SOAK_TEXT(ClientInfo, clientText1),
    SOAK_TEXT(ClientInfo, clientText2),  SOAK_TEXT(ClientInfo, clientText3),  SOAK_TEXT(ClientInfo, clientText4),
    SOAK_TEXT(ClientInfo, clientText5),  SOAK_TEXT(ClientInfo, clientText6),  SOAK_TEXT(ClientInfo, clientText7),
    SOAK_TEXT(ClientInfo, clientText8),  SOAK_TEXT(ClientInfo, clientText9),  SOAK_TEXT(ClientInfo, clientText10),
    SOAK_TEXT(ClientInfo, clientText11), SOAK_TEXT(ClientInfo, clientText12), SOAK_TEXT(ClientInfo, clientText13),
    SOAK_TEXT(ClientInfo, clientText14), SOAK_TEXT(ClientInfo, clientText15), SOAK_TEXT(ClientInfo, clientText16),
};
const TextField kExtTexts[] = {
    SOAK_TEXT(ClientInfoV2Ext, extText1),
    SOAK_TEXT(ClientInfoV2Ext, extText2),
    SOAK_TEXT(ClientInfoV2Ext, extText3),
};
#undef SOAK_TEXT

// The two names are the texts a fault may empty (first byte only).
constexpr size_t kNameCount = 2;

int32_t derivedValue(uint32_t generation, int index) {
    return static_cast<int32_t>(generation * 2654435761u + static_cast<uint32_t>(index) * 40503u);
}

// Fills a text to the brim (size - 1 characters and the NUL) with a token naming the field
// and the generation, so that any two generations differ in every text.
void fillText(char* text, size_t size, int fieldIndex, uint32_t generation) {
    char token[32];
    const int n = std::snprintf(token, sizeof token, "f%dg%u.", fieldIndex, generation);
    for (size_t i = 0; i + 1 < size; ++i) text[i] = token[i % static_cast<size_t>(n)];
    text[size - 1] = '\0';
}

const char* bytesOf(const void* record, size_t offset) { return static_cast<const char*>(record) + offset; }

bool filledWithX(const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (text[i] != 'X') return false;
    return true;
}

// Checks the texts of a record against the expected payload: each equal in all its bytes, or
// every text filled with 'X' to the brim (the fault that drops the NULs), or a name whose first
// byte alone was cleared (the fault that empties the names).
bool textsFit(const void* record, const void* expected, const TextField* fields, size_t count, size_t nameCount,
              std::string* why) {
    const bool brim = filledWithX(bytesOf(record, fields[count - 1].offset), fields[count - 1].size);
    for (size_t i = 0; i < count; ++i) {
        const char* got = bytesOf(record, fields[i].offset);
        const char* want = bytesOf(expected, fields[i].offset);
        const size_t size = fields[i].size;
        const bool fits = brim ? filledWithX(got, size)
                               : std::memcmp(got, want, size) == 0 ||
                                     (i < nameCount && got[0] == '\0' && std::memcmp(got + 1, want + 1, size - 1) == 0);
        if (!fits) {
            *why = std::string("text ") + fields[i].name + " is not the payload's";
            return false;
        }
    }
    return true;
}

bool textsEmpty(const void* record, const TextField* fields, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (bytesOf(record, fields[i].offset)[0] != '\0') return false;
    return true;
}

// The two values the library writes itself: -1 until measured, then a latency in ms and a
// percentage.
bool serverValuesFit(const ClientInfo& info, std::string* why) {
    if (info.latency != -1 && (info.latency < 0 || info.latency > 5000)) {
        *why = "latency " + std::to_string(info.latency);
        return false;
    }
    if (info.readFailurePercent < -1 || info.readFailurePercent > 100) {
        *why = "readFailurePercent " + std::to_string(info.readFailurePercent);
        return false;
    }
    return true;
}

}  // namespace

void makeClientInfo(uint32_t generation, ClientInfo* info) {
    std::memset(info, 0, sizeof *info);
    info->latency = -1;
    info->readFailurePercent = -1;
    int index = 0;
    for (const TextField& f : kV1Texts) fillText(reinterpret_cast<char*>(info) + f.offset, f.size, index++, generation);
    info->clientValue1 = static_cast<int32_t>(generation);
    info->clientValue2 = derivedValue(generation, 2);
    info->clientValue3 = derivedValue(generation, 3);
    info->clientValue4 = derivedValue(generation, 4);
    info->clientValue5 = derivedValue(generation, 5);
    info->clientValue6 = derivedValue(generation, 6);
    info->clientReal1 = generation + 0.25;
}

void makeClientInfoV2Ext(uint32_t generation, ClientInfoV2Ext* ext) {
    std::memset(ext, 0, sizeof *ext);
    int index = 100;
    for (const TextField& f : kExtTexts) fillText(reinterpret_cast<char*>(ext) + f.offset, f.size, index++, generation);
    ext->extValue1 = static_cast<int32_t>(generation);
    ext->extValue2 = derivedValue(generation, 102);
    ext->extValue3 = derivedValue(generation, 103);
}

Verdict checkClientInfo(const ClientInfo& info) {
    Verdict v;
    if (!serverValuesFit(info, &v.why)) return v;
    const int32_t values[] = {info.clientValue1, info.clientValue2, info.clientValue3,
                              info.clientValue4, info.clientValue5, info.clientValue6};
    bool allDefault = info.clientReal1 == -1.0;
    for (int32_t value : values) allDefault = allDefault && value == -1;
    if (allDefault) {
        if (textsEmpty(&info, kV1Texts, sizeof kV1Texts / sizeof kV1Texts[0])) {
            v.kind = RecordKind::Defaults;
        } else {
            v.why = "default values with a text set";
        }
        return v;
    }
    if (info.clientValue1 <= 0) {
        v.why = "clientValue1 " + std::to_string(info.clientValue1);
        return v;
    }
    ClientInfo expected;
    makeClientInfo(static_cast<uint32_t>(info.clientValue1), &expected);
    const int32_t wanted[] = {expected.clientValue1, expected.clientValue2, expected.clientValue3,
                              expected.clientValue4, expected.clientValue5, expected.clientValue6};
    for (int i = 0; i < 6; ++i) {
        if (values[i] != wanted[i]) {
            v.why = "clientValue" + std::to_string(i + 1) + " of another generation";
            return v;
        }
    }
    if (info.clientReal1 != expected.clientReal1) {
        v.why = "clientReal1 of another generation";
        return v;
    }
    if (!textsFit(&info, &expected, kV1Texts, sizeof kV1Texts / sizeof kV1Texts[0], kNameCount, &v.why)) return v;
    v.kind = RecordKind::Generation;
    v.generation = static_cast<uint32_t>(info.clientValue1);
    return v;
}

Verdict checkClientInfoV2Ext(const ClientInfoV2Ext& ext) {
    Verdict v;
    const size_t textCount = sizeof kExtTexts / sizeof kExtTexts[0];
    if (ext.extValue1 == -1 && ext.extValue2 == -1 && ext.extValue3 == -1) {
        if (textsEmpty(&ext, kExtTexts, textCount)) {
            v.kind = RecordKind::Defaults;
        } else {
            v.why = "extension: default values with a text set";
        }
        return v;
    }
    if (ext.extValue1 <= 0) {
        v.why = "extValue1 " + std::to_string(ext.extValue1);
        return v;
    }
    ClientInfoV2Ext expected;
    makeClientInfoV2Ext(static_cast<uint32_t>(ext.extValue1), &expected);
    if (ext.extValue2 != expected.extValue2 || ext.extValue3 != expected.extValue3) {
        v.why = "extension values of another generation";
        return v;
    }
    if (!textsFit(&ext, &expected, kExtTexts, textCount, 0, &v.why)) return v;
    v.kind = RecordKind::Generation;
    v.generation = static_cast<uint32_t>(ext.extValue1);
    return v;
}

Verdict checkAgainstReference(const ClientInfo& info, const ClientInfo& reference) {
    Verdict v;
    if (!serverValuesFit(info, &v.why)) return v;
    if (info.clientValue1 == -1 && info.clientReal1 == -1.0 &&
        textsEmpty(&info, kV1Texts, sizeof kV1Texts / sizeof kV1Texts[0])) {
        v.kind = RecordKind::Defaults;
        return v;
    }
    // Everything the counterpart sent: the bytes between latency and readFailurePercent and
    // those after it.
    const size_t from = sizeof info.latency, gap = offsetof(ClientInfo, readFailurePercent);
    const size_t after = gap + sizeof info.readFailurePercent;
    if (std::memcmp(bytesOf(&info, from), bytesOf(&reference, from), gap - from) != 0 ||
        std::memcmp(bytesOf(&info, after), bytesOf(&reference, after), sizeof info - after) != 0) {
        v.why = "differs from the counterpart's one payload";
        return v;
    }
    v.kind = RecordKind::Generation;
    v.generation = 1;
    return v;
}

}  // namespace soak
