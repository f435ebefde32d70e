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

// Creates the file logger of instance 0, or, when one exists already, only sets its
// severity: plog would otherwise attach the same file appender twice.
plog::Logger<0>* createFileLogger(int32_t severity, const std::string& path, uint32_t maxFileSize,
                                  int32_t maxFileCount);
