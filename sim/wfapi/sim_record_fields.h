#pragma once
// The fields of the records the counterpart sends, by name, offset and size: used by the
// scenario file to set them and by the fault that fills every text to the brim.
#include <cstddef>

namespace wfsim {

enum class FieldKind { Text, Int32, Real };

struct RecordField {
    const char* key;  // scenario file key
    size_t offset;    // within ClientInfo or ClientInfoV2Ext
    size_t size;      // bytes; a text holds size - 1 characters and its NUL
    FieldKind kind;
};

// Counterpart-filled fields of ClientInfo (latency and readFailurePercent are the server's).
extern const RecordField kClientInfoFields[];
extern const size_t kClientInfoFieldCount;
// Fields of ClientInfoV2Ext.
extern const RecordField kClientInfoV2Fields[];
extern const size_t kClientInfoV2FieldCount;

}  // namespace wfsim
