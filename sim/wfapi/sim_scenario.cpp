#include "sim_scenario.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_record_fields.h"

namespace wfsim {

namespace {

struct FaultName {
    const char* name;
    WfsimFault fault;
};

const FaultName kFaultNames[] = {
    {"session_id_query_fails", WFSIM_FAULT_SESSION_ID_QUERY_FAILS},
    {"session_id_zero", WFSIM_FAULT_SESSION_ID_ZERO},
    {"state_query_fails", WFSIM_FAULT_STATE_QUERY_FAILS},
    {"version_query_fails", WFSIM_FAULT_VERSION_QUERY_FAILS},
    {"smc_open_fails", WFSIM_FAULT_SMC_OPEN_FAILS},
    {"smc_open_null_handle", WFSIM_FAULT_SMC_OPEN_NULL_HANDLE},
    {"channel_list_fails", WFSIM_FAULT_CHANNEL_LIST_FAILS},
    {"channel_list_empty", WFSIM_FAULT_CHANNEL_LIST_EMPTY},
    {"channel_list_other_case", WFSIM_FAULT_CHANNEL_LIST_OTHER_CASE},
    {"channel_list_overflow", WFSIM_FAULT_CHANNEL_LIST_OVERFLOW},
    {"channel_vanished", WFSIM_FAULT_CHANNEL_VANISHED},
    {"channel_open_fails", WFSIM_FAULT_CHANNEL_OPEN_FAILS},
    {"client_data_query_fails", WFSIM_FAULT_CLIENT_DATA_QUERY_FAILS},
    {"write_fails", WFSIM_FAULT_WRITE_FAILS},
    {"write_short", WFSIM_FAULT_WRITE_SHORT},
    {"read_fails", WFSIM_FAULT_READ_FAILS},
    {"read_timeout", WFSIM_FAULT_READ_TIMEOUT},
    {"read_zero_bytes", WFSIM_FAULT_READ_ZERO_BYTES},
    {"stale_answers", WFSIM_FAULT_STALE_ANSWERS},
    {"swapped_signature", WFSIM_FAULT_SWAPPED_SIGNATURE},
    {"answer_shorter", WFSIM_FAULT_ANSWER_SHORTER},
    {"answer_longer", WFSIM_FAULT_ANSWER_LONGER},
    {"length_beyond_buffer", WFSIM_FAULT_LENGTH_BEYOND_BUFFER},
    {"text_without_nul", WFSIM_FAULT_TEXT_WITHOUT_NUL},
    {"empty_names", WFSIM_FAULT_EMPTY_NAMES},
    {"wrong_answer_type", WFSIM_FAULT_WRONG_ANSWER_TYPE},
    {"no_answer", WFSIM_FAULT_NO_ANSWER},
    {"drain_read_fails", WFSIM_FAULT_DRAIN_READ_FAILS},
    {"channel_name_not_utf16", WFSIM_FAULT_CHANNEL_NAME_NOT_UTF16},
    {"version_answer_short", WFSIM_FAULT_VERSION_ANSWER_SHORT},
    {"query_null_buffer", WFSIM_FAULT_QUERY_NULL_BUFFER},
    {"data_read_fails", WFSIM_FAULT_DATA_READ_FAILS},
};
static_assert(sizeof(kFaultNames) / sizeof(kFaultNames[0]) == WFSIM_FAULT_COUNT_ - 1,
              "every fault has a scenario name");

const char* const kStateNames[] = {"WFActive",       "WFConnected", "WFConnectQuery", "WFShadow",
                                   "WFDisconnected", "WFIdle",      "WFListen",       "WFReset",
                                   "WFDown",         "WFInit"};

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A value is taken as written up to a comment (" #" or "\t#"); double quotes keep blanks
// and '#' signs inside them.
bool parseValue(const std::string& raw, std::string& value) {
    std::string text = trim(raw);
    if (!text.empty() && text[0] == '"') {
        size_t close = text.find('"', 1);
        if (close == std::string::npos) {
            return false;
        }
        std::string rest = trim(text.substr(close + 1));
        if (!rest.empty() && rest[0] != '#') {
            return false;
        }
        value = text.substr(1, close - 1);
        return true;
    }
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == '#' && (text[i - 1] == ' ' || text[i - 1] == '\t')) {
            text = text.substr(0, i);
            break;
        }
    }
    value = trim(text);
    return true;
}

bool parseLong(const std::string& text, long long minimum, long long maximum, long long& out) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < minimum || value > maximum) {
        return false;
    }
    out = value;
    return true;
}

bool parseDword(const std::string& text, DWORD& out) {
    long long value = 0;
    if (!parseLong(text, 0, 0xFFFFFFFFLL, value)) {
        return false;
    }
    out = static_cast<DWORD>(value);
    return true;
}

bool parseState(const std::string& text, DWORD& out) {
    for (DWORD i = 0; i < sizeof(kStateNames) / sizeof(kStateNames[0]); ++i) {
        if (text == kStateNames[i]) {
            out = i;
            return true;
        }
    }
    return parseDword(text, out);
}

bool parseVersion(const std::string& text, SessionConfig& config) {
    DWORD parts[3] = {0, 0, 0};
    size_t count = 0;
    size_t start = 0;
    while (count < 3) {
        size_t dot = text.find('.', start);
        std::string piece = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!parseDword(piece, parts[count++])) {
            return false;
        }
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
        if (count == 3) {
            return false;  // more than three parts
        }
    }
    if (count < 2) {
        return false;
    }
    config.vdaMajor = parts[0];
    config.vdaMinor = parts[1];
    config.vdaBuild = parts[2];
    return true;
}

std::vector<std::wstring> parseChannels(const std::string& text) {
    std::vector<std::wstring> channels;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string name = trim(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!name.empty()) {
            channels.push_back(utf8ToWide(name));
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return channels;
}

// Sets a record field from its text; false with a reason if the value does not fit.
bool setField(void* record, const RecordField& field, const std::string& value, std::string& error) {
    char* target = static_cast<char*>(record) + field.offset;
    switch (field.kind) {
        case FieldKind::Text:
            if (value.size() >= field.size) {
                error = "text longer than " + std::to_string(field.size - 1) + " bytes";
                return false;
            }
            std::memset(target, 0, field.size);
            std::memcpy(target, value.data(), value.size());
            return true;
        case FieldKind::Int32: {
            long long number = 0;
            if (!parseLong(value, INT32_MIN, INT32_MAX, number)) {
                error = "not a 32-bit integer";
                return false;
            }
            int32_t narrow = static_cast<int32_t>(number);
            std::memcpy(target, &narrow, sizeof narrow);
            return true;
        }
        case FieldKind::Real: {
            char* end = nullptr;
            double number = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0') {
                error = "not a number";
                return false;
            }
            std::memcpy(target, &number, sizeof number);
            return true;
        }
    }
    return false;
}

const RecordField* findField(const RecordField* fields, size_t count, const std::string& key) {
    for (size_t i = 0; i < count; ++i) {
        if (key == fields[i].key) {
            return &fields[i];
        }
    }
    return nullptr;
}

// Applies one "key = value" setting; false with a reason for a bad one.
bool applySetting(SimState& s, const std::string& key, const std::string& value, std::string& error) {
    SessionConfig& config = s.config;
    auto number = [&](DWORD& out) {
        if (!parseDword(value, out)) {
            error = "not an unsigned 32-bit number";
            return false;
        }
        return true;
    };
    if (key == "session_id") return number(config.sessionIdRaw);
    if (key == "platform_id") return number(config.platformId);
    if (key == "latency_ms") return number(config.roundTripMs);
    if (key == "jitter_ms") return number(config.jitterMs);
    if (key == "read_wait_max_ms") return number(config.readWaitMaxMs);
    if (key == "state") {
        if (!parseState(value, config.connectState)) {
            error = "not a connect state (a number or a name such as WFActive)";
            return false;
        }
        return true;
    }
    if (key == "vda_version") {
        if (!parseVersion(value, config)) {
            error = "not a version major.minor[.build]";
            return false;
        }
        return true;
    }
    if (key == "csd") {
        config.csd = utf8ToWide(value);
        return true;
    }
    if (key == "channels") {
        config.channels = parseChannels(value);
        return true;
    }
    if (key == "v2") {
        if (value != "0" && value != "1") {
            error = "must be 0 or 1";
            return false;
        }
        config.v2Supported = value == "1";
        return true;
    }
    if (key.compare(0, 6, "fault.") == 0) {
        std::string name = key.substr(6);
        for (const FaultName& entry : kFaultNames) {
            if (name == entry.name) {
                long long count = 0;
                if (!parseLong(value, INT32_MIN, INT32_MAX, count)) {
                    error = "fault count must be an integer (-1 for good, 0 to clear)";
                    return false;
                }
                s.faults[entry.fault] = static_cast<int>(count);
                return true;
            }
        }
        error = "unknown fault \"" + name + "\"";
        return false;
    }
    if (const RecordField* field = findField(kClientInfoFields, kClientInfoFieldCount, key)) {
        return setField(&config.clientInfo, *field, value, error);
    }
    if (const RecordField* field = findField(kClientInfoV2Fields, kClientInfoV2FieldCount, key)) {
        return setField(&config.clientInfoV2, *field, value, error);
    }
    error = "unknown key \"" + key + "\"";
    return false;
}

std::string narrowPath(const wchar_t* path) {
    int length = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path, -1, &text[0], length, nullptr, nullptr);
    text.resize(static_cast<size_t>(length - 1));
    return text;
}

bool readFile(const wchar_t* path, std::string& content) {
    FILE* file = _wfopen(path, L"rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        content.append(chunk, got);
    }
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

}  // namespace

int loadScenarioFile(SimState& s, const wchar_t* path) {
    std::string where = narrowPath(path);
    std::string content;
    if (!readFile(path, content)) {
        std::fprintf(stderr, "wfsim: cannot read scenario file %s\n", where.c_str());
        std::fflush(stderr);
        return -1;
    }
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        content.erase(0, 3);  // UTF-8 byte order mark
    }
    int firstBad = 0;
    int lineNumber = 0;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? content.size() : end + 1;
        ++lineNumber;

        std::string text = trim(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        std::string error;
        size_t equals = text.find('=');
        std::string value;
        if (equals == std::string::npos) {
            error = "expected key = value";
        } else if (!parseValue(text.substr(equals + 1), value)) {
            error = "unterminated quote";
        } else {
            applySetting(s, trim(text.substr(0, equals)), value, error);
        }
        if (!error.empty()) {
            std::fprintf(stderr, "wfsim: %s:%d: %s\n", where.c_str(), lineNumber, error.c_str());
            if (firstBad == 0) {
                firstBad = lineNumber;
            }
        }
    }
    std::fflush(stderr);
    return firstBad;
}

}  // namespace wfsim
