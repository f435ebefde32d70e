/* Printing of the library's records as readable text or as JSON. */
#ifndef PLXPROBE_FORMAT_H
#define PLXPROBE_FORMAT_H

#include <stdio.h>

#include "plx_srv_citrix.h"

/* Writes text (at most capacity bytes, up to its first NUL inside the array) between double
 * quotes. Valid UTF-8 passes through; quotes, backslashes and control characters are escaped.
 * json != 0: JSON escapes, a byte that is not valid UTF-8 becomes \u00XX (its Latin-1 reading).
 * json == 0: C-like escapes, such a byte becomes \xNN. */
void probeWriteQuoted(FILE *out, const char *text, size_t capacity, int json);

/* True when the record carries data from the client: a user or computer name, or a latency. */
int probeHasData(const ClientInfo *info);

/* Prints one record: a ClientInfo, or a ClientInfoV2 when v2 != 0. sequence numbers the
 * records of one run; timestamp is a local time text; dllVersion the file version of the
 * library that delivered it. */
void probePrintRecord(FILE *out, const void *record, int v2, int json, int sequence, const char *timestamp,
                      const char *dllVersion);

#endif
