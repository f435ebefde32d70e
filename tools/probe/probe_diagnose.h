/* plxprobe --diagnose: the library's log switched on for one probe run, then read back and told
 * as stages in plain words. Called from the probe's main (C); written in C++. */
#ifndef PLXPROBE_DIAGNOSE_H
#define PLXPROBE_DIAGNOSE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Before the library is loaded: switches the library's log on at debug into a fresh folder under
 * the user's temp folder (the user's log settings are saved first and put back by
 * probeDiagnoseEnd or on Ctrl+C) and says what that means for other processes. */
void probeDiagnoseBegin(void);

/* After the usual run: puts the log settings back, reads the log and prints the stages.
 * record: the record the run printed (a ClientInfo, or a ClientInfoV2 when v2), NULL when none. */
void probeDiagnoseEnd(int exitStatus, const void* record, int v2, int json, long timeoutS);

#ifdef __cplusplus
}
#endif

#endif
