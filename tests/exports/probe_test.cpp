// The probe tool: its record printer (linked in from tools/probe) and the built plxprobe.exe
// run against the substitute WFAPI.DLL with a scripted session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "exports_host.h"

extern "C" {
#include "probe_format.h"
}

namespace {

// Runs a printer into a temporary file and returns what it wrote.
template <typename Print>
std::string printed(Print print) {
    wchar_t temp[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"plx", 0, file);
    FILE* out = _wfopen(file, L"wb");
    print(out);
    fclose(out);
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    DeleteFileW(file);
    return text;
}

std::string quoted(const char* bytes, size_t capacity, int json) {
    return printed([&](FILE* out) { probeWriteQuoted(out, bytes, capacity, json); });
}

std::wstring writeScenario(const std::string& text) {
    wchar_t temp[MAX_PATH], file[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    GetTempFileNameW(temp, L"sce", 0, file);
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

ChildResult runProbe(const std::wstring& args, const std::string& scenario, const std::wstring& dir = exeDir()) {
    const std::wstring scenarioFile = writeScenario(scenario);
    setLogFolder(logRoot() + L"\\probe");
    ChildResult result = runChild(dir + L"\\plxprobe.exe", args, dir, L"WFSIM_SCENARIO=" + scenarioFile);
    setLogFolder(logRoot() + L"\\main");
    DeleteFileW(scenarioFile.c_str());
    return result;
}

}  // namespace

TEST(Probe, TextsAreEscapedAndReadOnlyWithinTheirArrays) {
    // An array filled to the brim is read up to its end, never into what follows it.
    struct {
        char text[4];
        char after[4];
    } brim = {{'a', 'b', 'c', 'd'}, {'N', 'O', '!', '\0'}};
    EXPECT_EQ(quoted(brim.text, sizeof brim.text, 1), "\"abcd\"");
    EXPECT_EQ(quoted("q\"b\\s\n\x01\x7f", 16, 1), "\"q\\\"b\\\\s\\n\\u0001\\u007f\"");
    EXPECT_EQ(quoted("q\"b\\s\n\x01", 16, 0), "\"q\\\"b\\\\s\\n\\x01\"");
    // Valid UTF-8 passes; stray, overlong, surrogate and cut-off sequences are escaped bytewise.
    EXPECT_EQ(quoted("caf\xc3\xa9 \xe2\x82\xac", 16, 1), "\"caf\xc3\xa9 \xe2\x82\xac\"");
    EXPECT_EQ(quoted("\xff\xc0\xaf", 8, 1), "\"\\u00ff\\u00c0\\u00af\"");
    EXPECT_EQ(quoted("\xed\xa0\x80", 8, 0), "\"\\xed\\xa0\\x80\"");
    const char cut[2] = {'a', '\xc3'};
    EXPECT_EQ(quoted(cut, sizeof cut, 1), "\"a\\u00c3\"");
}

TEST(Probe, JsonRecordHasEveryFieldAndNoNumberJsonCannotRead) {
    ClientInfoV2 record;
    std::memset(&record, 'X', sizeof record);  // no text has a NUL
    record.base.latency = 25;
    record.base.clientReal1 = std::nan("");
    record.base.readFailurePercent = 0;
    record.ext.extValue3 = -1;
    const std::string json = printed([&](FILE* out) { probePrintRecord(out, &record, 1, 1, 7, "2024-05-06 07:08:09"); });
    EXPECT_NE(json.find("\"computerName\": \"" + std::string(16, 'X') + "\",\n"), std::string::npos) << json;
    EXPECT_NE(json.find("\"clientText16\": \"" + std::string(257, 'X') + "\",\n"), std::string::npos);
    EXPECT_NE(json.find("\"extText3\": \"" + std::string(513, 'X') + "\",\n"), std::string::npos);
    EXPECT_NE(json.find("\"clientReal1\": null,"), std::string::npos);
    EXPECT_NE(json.find("\"latency\": 25,"), std::string::npos);
    EXPECT_NE(json.find("\"record\": 7,\n  \"version\": 2,\n  \"time\": \"2024-05-06 07:08:09\","), std::string::npos);
    EXPECT_NE(json.find("\"extValue3\": -1\n  }\n}\n"), std::string::npos) << json;
    // 27 fields of the record, 6 of the extension, 3 of the header, "ext": one line each.
    EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1 + 3 + 27 + 1 + 6 + 1 + 1);
}

TEST(Probe, PrintsTheScriptedSessionAndFailsClearly) {
    const std::string session =
        "latency_ms = 25\nuser_name = probe user\ncomputer_name = PROBE-PC\nclientReal1 = 2.5\n"
        "v2 = 1\nextText1 = from the extension\n";
    ChildResult json = runProbe(L"--v2 --json --timeout 20", session);
    ASSERT_EQ(json.exitCode, 0) << json.output;
    EXPECT_NE(json.output.find("\"userName\": \"probe user\","), std::string::npos) << json.output;
    EXPECT_NE(json.output.find("\"computerName\": \"PROBE-PC\","), std::string::npos);
    EXPECT_NE(json.output.find("\"clientReal1\": 2.5,"), std::string::npos);
    EXPECT_NE(json.output.find("\"extText1\": \"from the extension\","), std::string::npos);
    EXPECT_NE(json.output.find("polling started (-6)"), std::string::npos);
    const size_t latency = json.output.find("\"latency\": ");
    ASSERT_NE(latency, std::string::npos);
    EXPECT_GE(std::atoi(json.output.c_str() + latency + 11), 0);

    // Watching a counterpart whose texts have no NUL: two records, texts cut at their arrays.
    ChildResult watch = runProbe(L"--watch 1 --count 2", session + "fault.text_without_nul = -1\n");
    ASSERT_EQ(watch.exitCode, 0) << watch.output;
    const size_t first = watch.output.find("Record 1 (version 1)");
    EXPECT_NE(first, std::string::npos) << watch.output;
    EXPECT_NE(watch.output.find("Record 2 (version 1)", first), std::string::npos);
    EXPECT_EQ(watch.output.find("Record 3"), std::string::npos);
    // (The probe writes text mode: its lines end in CR LF.)
    EXPECT_NE(watch.output.find("computerName          : \"" + std::string(16, 'X') + "\"\r\n"), std::string::npos)
        << watch.output.substr(0, 2000);

    // No OXLENS channel on the client: no data within the limit.
    ChildResult noData = runProbe(L"--timeout 1", "channels = CTXCAM,CTXTW\n");
    EXPECT_EQ(noData.exitCode, 4) << noData.output;
    EXPECT_NE(noData.output.find("no data within 1 s"), std::string::npos) << noData.output;

    // No WFAPI.DLL beside the probe: -10 and its explanation.
    ChildResult noApi = runProbe(L"\"" + exeDir() + L"\\plx_srv_citrix32.dll\"", "", exeDir() + L"\\..\\bin-noapi");
    EXPECT_EQ(noApi.exitCode, 3) << noApi.output;
    EXPECT_NE(noApi.output.find("could not load WFAPI.DLL (result -10)"), std::string::npos) << noApi.output;

    // A library path that does not exist.
    ChildResult missing = runProbe(L"C:\\no\\such\\plx_srv_citrix32.dll", "");
    EXPECT_EQ(missing.exitCode, 2) << missing.output;
    EXPECT_NE(missing.output.find("cannot load"), std::string::npos) << missing.output;
}
