/* plxprobe --diagnose: the library's log switched on for one probe run (in this process only),
 * then read back and told as stages in plain words. Called from the probe's main (C); in C++. */
#ifndef PLXPROBE_DIAGNOSE_H
#define PLXPROBE_DIAGNOSE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Before the library is loaded: reads the user's own log settings (read only), then switches the
 * library's log on at debug into a fresh folder under the user's temp folder, in a registry view
 * of this process's own, and says so. */
void probeDiagnoseBegin(void);

/* After the usual run: reads the log, drops the registry view and prints the stages (with json,
 * as one JSON object, without a line break after it).
 * record: the record the run printed (a ClientInfo, or a ClientInfoV2 when v2), NULL when none. */
void probeDiagnoseEnd(int exitStatus, const void* record, int v2, int json, long timeoutS);

#ifdef __cplusplus
}
#endif

#endif
