#pragma once
// One-time set-up of the plog file logger, and its teardown.
#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <plog/Logger.h>

class OxMonitorTask;

extern plog::Logger<0>* _glLogger;
extern bool _glLogInitialized;
extern std::mutex _glLogMutex;
extern HANDLE _glMonitorStopEvent;
extern std::unique_ptr<OxMonitorTask> _glMonitorTask;
extern std::unique_ptr<std::thread> _glMonitorThread;
extern std::mutex _glMonitorMutex;

extern bool _glGlobalDataInitialized;
extern char _glLogPath[MAX_PATH];

void initGlobalData();
int initLog(int32_t component, int32_t platform, char* pathBuffer);  // 0, -602, -2
int shutdownLog();                                                   // 0, -2
int buildLogFilePath(int32_t component, int32_t platform, const std::string& folder, std::string* path);
int buildLogFileBaseName(int32_t component, int32_t platform, std::string* name);
std::string makeLogTimestamp();
// Log files are named by the second their logger was created, so two processes of a user that
// create their log in the same folder within the same second would build the same name, and the
// second would lose its whole log (plog holds its file open against other writers). The name is
// therefore claimed by creating the file: when it exists already, this process's id goes before
// the extension ("..._[2026-12-06 06-47-21]_pid4242.log"). That deliberate departure from the
// usual name applies to that case only. True when the path was changed.
bool claimLogFileName(std::string* path);

// Creates the file logger of instance 0, or, when one exists already, only sets its
// severity: plog would otherwise attach the same file appender twice. A new logger claims its
// file name first (claimLogFileName), so path may change to the file really written.
plog::Logger<0>* createFileLogger(int32_t severity, std::string& path, uint32_t maxFileSize,
                                  int32_t maxFileCount);
