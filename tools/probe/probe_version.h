/* File versions of the probe and of the library it loaded, read from their version resources. */
#ifndef PLXPROBE_VERSION_H
#define PLXPROBE_VERSION_H

#include <windows.h>

#include <stddef.h>

/* Writes the file version of the module's file as "major.minor.patch" (".build" added when
 * the build part is not 0) and returns 1; without a readable version resource it writes
 * "unknown" and returns 0. module NULL means the probe itself. */
int probeModuleVersion(HMODULE module, char *out, size_t size);

/* Writes the file name (without its folder) of the module, as UTF-8; "?" when unknown. */
void probeModuleFileName(HMODULE module, char *out, size_t size);

#endif
