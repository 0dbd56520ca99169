#pragma once
// The settings controls as plain values: loaded from the stored settings, compared with them every
// 0.2 s to enable the Save buttons, and turned back into the dictionary that is saved.

#include "settings/settings.h"

#include <string>
#include <vector>

namespace bw {

struct SettingsForm {
    bool updates = true;        // appUpdateCB
    bool menu = true;           // menuVisibleCB
    bool pass = false;          // passwordCB
    bool showNotes = false;     // showNoteOnCacheUpdateCB
    std::string percentText;    // percentDiskSpaceTF
    bool dataActivation = true; // deleteDataCB
    std::string nbDaysText;     // ativityDayTF
    bool fileActivation = true; // fileMaxSizeCB
    std::string fileSizeText;   // fileMaxSizeTF
    int modeTag = 1;            // the selected caching-mode cell: 1 move, 2 copy
};

// The controls as a load shows them: `passwordExists` (the keychain) decides the password box, not the
// stored "BWS_pass".
SettingsForm formFromSettings(const Settings& stored, bool passwordExists);

// Whether any control differs from the stored value (fields by their leading integer).
bool formDiffersFrom(const SettingsForm& form, const Settings& stored);

// The dictionary a save writes: the controls, and the protected rows of the volume table in table order.
Settings settingsFromForm(const SettingsForm& form, const std::vector<VolumeEntry>& volumeRows);

enum class SaveButtonsChange { Enable, Disable, Keep };
// The change detection's decision: filter edits or a differing control enable both buttons; with nothing
// different a pending table change keeps them as they are, otherwise they are disabled.
SaveButtonsChange saveButtonsChange(bool filtersModified, bool formDiffers, bool forceSave);

} // namespace bw
