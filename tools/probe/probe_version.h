/* File versions of the probe and of the library it loaded, read from their version resources. */
#ifndef PLXPROBE_VERSION_H
#define PLXPROBE_VERSION_H

#include <windows.h>

#include <stddef.h>
#include <stdio.h>

/* Writes the file version of the module's file as "major.minor.patch" (".build" added when
 * the build part is not 0) and returns 1; without a readable version resource it writes
 * "unknown" and returns 0. module NULL means the probe itself. */
int probeModuleVersion(HMODULE module, char *out, size_t size);

/* --version, first line: "plxprobe <version> (<32|64>-bit)". Printed before the library is
 * loaded, so that it shows also when that fails. */
void probePrintOwnVersion(FILE *out);

/* --version, second line: "<library file name> <version> (<path>)". */
void probePrintLibraryVersion(FILE *out, HMODULE library, const char *version, const char *path);

#endif
