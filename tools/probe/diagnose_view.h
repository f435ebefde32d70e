// The probe's own view of the current user's registry. HKEY_CURRENT_USER of this process is
// mapped (RegOverridePredefKey) onto a volatile key of the probe's own,
// HKCU\Software\Orbivex\Pathlens\plxprobe\<process id>, which holds nothing but the log settings
// the library is to use for this run. The library inside the probe reads and watches them there;
// the user's real settings and every other process never see them, and the key vanishes at
// logoff at the latest, even when the probe is killed.
#pragma once

#include <string>

namespace diagnose {

// The user's real log settings, read only: the key present or not, and each of the four values
// as a text to show ("" when absent).
struct UserSettings {
    bool present = false;
    std::string values[4];
    bool logOff = true;  // no severity above 0 as the library reads it: processes of this user log nothing
};
extern const char* const kSettingNames[4];  // severity, path_root, max_file_size, max_file_count
UserSettings readUserSettings();            // before openOwnView, from the real HKEY_CURRENT_USER

// Removes the keys of probes that no longer run (what to tell the user goes to notes), creates
// this probe's key with severity 5, path_root = folder and the default file limits, and maps
// HKEY_CURRENT_USER of this process onto it. False with the reason in error when it could not.
bool openOwnView(const std::wstring& folder, std::string& notes, std::string& error);

// Maps HKEY_CURRENT_USER back to the user's own and deletes the probe's key.
void closeOwnView();

}  // namespace diagnose
