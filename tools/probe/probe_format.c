#include "probe_format.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

typedef enum { FIELD_INT, FIELD_TEXT, FIELD_REAL } FieldKind;

typedef struct {
    const char *name;
    size_t offset;
    size_t size;
    FieldKind kind;
    const char *unit; /* shown after the value in text output */
} FieldDesc;

#define FIELD(type, f, kind, unit) {#f, offsetof(type, f), sizeof(((type *)0)->f), kind, unit}
#define TEXT(f) FIELD(ClientInfo, f, FIELD_TEXT, "")
#define INT(f) FIELD(ClientInfo, f, FIELD_INT, "")

static const FieldDesc kClientInfoFields[] = {
    FIELD(ClientInfo, latency, FIELD_INT, " ms"),
    TEXT(userName), TEXT(computerName),
    TEXT(clientText1), TEXT(clientText2), TEXT(clientText3), TEXT(clientText4),
    FIELD(ClientInfo, clientReal1, FIELD_REAL, ""),
    TEXT(clientText5), TEXT(clientText6), TEXT(clientText7), TEXT(clientText8),
    INT(clientValue1), TEXT(clientText9), INT(clientValue2),
    TEXT(clientText10), TEXT(clientText11), TEXT(clientText12), TEXT(clientText13),
    INT(clientValue3), INT(clientValue4),
    FIELD(ClientInfo, readFailurePercent, FIELD_INT, " %"),
    INT(clientValue5), TEXT(clientText14), TEXT(clientText15), INT(clientValue6), TEXT(clientText16),
};

static const FieldDesc kExtFields[] = {
    FIELD(ClientInfoV2Ext, extText1, FIELD_TEXT, ""),
    FIELD(ClientInfoV2Ext, extValue1, FIELD_INT, ""),
    FIELD(ClientInfoV2Ext, extValue2, FIELD_INT, ""),
    FIELD(ClientInfoV2Ext, extText2, FIELD_TEXT, ""),
    FIELD(ClientInfoV2Ext, extText3, FIELD_TEXT, ""),
    FIELD(ClientInfoV2Ext, extValue3, FIELD_INT, ""),
};

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

/* Length of a valid UTF-8 sequence at s (at most n bytes available), or 0 if there is none. */
static size_t utf8SequenceLength(const unsigned char *s, size_t n) {
    unsigned long cp;
    size_t len, i;
    if (s[0] < 0x80) return 1;
    if (s[0] >= 0xC2 && s[0] <= 0xDF) { len = 2; cp = s[0] & 0x1Fu; }
    else if (s[0] >= 0xE0 && s[0] <= 0xEF) { len = 3; cp = s[0] & 0x0Fu; }
    else if (s[0] >= 0xF0 && s[0] <= 0xF4) { len = 4; cp = s[0] & 0x07u; }
    else return 0;
    if (len > n) return 0;
    for (i = 1; i < len; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0; /* overlong, range */
    if (cp >= 0xD800 && cp <= 0xDFFF) return 0;                                                /* surrogates */
    return len;
}

void probeWriteQuoted(FILE *out, const char *text, size_t capacity, int json) {
    const unsigned char *s = (const unsigned char *)text;
    const void *nul = memchr(text, '\0', capacity);
    size_t n = nul ? (size_t)((const char *)nul - text) : capacity;
    size_t i = 0;
    fputc('"', out);
    while (i < n) {
        unsigned char c = s[i];
        size_t len;
        if (c == '"' || c == '\\') { fputc('\\', out); fputc(c, out); ++i; continue; }
        if (c == '\n') { fputs("\\n", out); ++i; continue; }
        if (c == '\r') { fputs("\\r", out); ++i; continue; }
        if (c == '\t') { fputs("\\t", out); ++i; continue; }
        if (c < 0x20 || c == 0x7F) { fprintf(out, json ? "\\u%04x" : "\\x%02x", c); ++i; continue; }
        len = utf8SequenceLength(s + i, n - i);
        if (len == 0) { fprintf(out, json ? "\\u%04x" : "\\x%02x", c); ++i; continue; }
        fwrite(s + i, 1, len, out);
        i += len;
    }
    fputc('"', out);
}

int probeHasData(const ClientInfo *info) {
    return info->userName[0] != '\0' || info->computerName[0] != '\0' || info->latency != -1;
}

static void writeReal(FILE *out, double value, int json) {
    char buf[64];
    if (!isfinite(value)) {
        fputs(json ? "null" : (isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf")), out);
        return;
    }
    /* The shortest of the two renderings that reads back as the same number. */
    snprintf(buf, sizeof buf, "%.15g", value);
    if (strtod(buf, NULL) != value) snprintf(buf, sizeof buf, "%.17g", value);
    fputs(buf, out);
}

static void writeFields(FILE *out, const unsigned char *base, const FieldDesc *fields, size_t count, int json,
                        const char *indent, const char *prefix, int moreFollows) {
    size_t i;
    for (i = 0; i < count; ++i) {
        const FieldDesc *f = &fields[i];
        const unsigned char *p = base + f->offset;
        if (json) {
            fprintf(out, "%s\"%s\": ", indent, f->name);
        } else {
            char label[48];
            snprintf(label, sizeof label, "%s%s", prefix, f->name);
            fprintf(out, "%s%-22s: ", indent, label);
        }
        if (f->kind == FIELD_TEXT) {
            probeWriteQuoted(out, (const char *)p, f->size, json);
        } else if (f->kind == FIELD_INT) {
            int32_t v;
            memcpy(&v, p, sizeof v);
            fprintf(out, "%ld%s", (long)v, (json || v == -1) ? "" : f->unit);
        } else {
            double v;
            memcpy(&v, p, sizeof v);
            writeReal(out, v, json);
        }
        if (json && (i + 1 < count || moreFollows)) fputc(',', out);
        fputc('\n', out);
    }
}

void probePrintRecord(FILE *out, const void *record, int v2, int json, int sequence, const char *timestamp,
                      const char *dllVersion) {
    const unsigned char *base = (const unsigned char *)record;
    if (json) {
        fprintf(out, "{\n  \"record\": %d,\n  \"version\": %d,\n  \"time\": ", sequence, v2 ? 2 : 1);
        probeWriteQuoted(out, timestamp, strlen(timestamp) + 1, 1);
        fputs(",\n  \"dllVersion\": ", out);
        probeWriteQuoted(out, dllVersion, strlen(dllVersion) + 1, 1);
        fputs(",\n", out);
        writeFields(out, base, kClientInfoFields, COUNT_OF(kClientInfoFields), 1, "  ", "", v2);
        if (v2) {
            fputs("  \"ext\": {\n", out);
            writeFields(out, base + offsetof(ClientInfoV2, ext), kExtFields, COUNT_OF(kExtFields), 1, "    ", "", 0);
            fputs("  }\n", out);
        }
        fputs("}\n", out);
    } else {
        fprintf(out, "Record %d (version %d) at %s, library version %s\n", sequence, v2 ? 2 : 1, timestamp, dllVersion);
        writeFields(out, base, kClientInfoFields, COUNT_OF(kClientInfoFields), 0, "  ", "", 0);
        if (v2)
            writeFields(out, base + offsetof(ClientInfoV2, ext), kExtFields, COUNT_OF(kExtFields), 0, "  ", "ext.", 0);
    }
    fflush(out);
}
