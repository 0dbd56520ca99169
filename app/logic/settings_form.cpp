#include "settings_form.h"

namespace bw {

SettingsForm formFromSettings(const Settings& stored, bool passwordExists) {
    SettingsForm form;
    form.updates = stored.updates;
    form.menu = stored.menu;
    form.pass = passwordExists;
    form.showNotes = stored.showNotes;
    form.percentText = std::to_string(stored.percent);
    form.dataActivation = stored.dataActivation;
    form.nbDaysText = std::to_string(stored.nbDays);
    form.fileActivation = stored.fileActivation;
    form.fileSizeText = std::to_string(stored.fileSize);
    form.modeTag = static_cast<int>(stored.daemonMode);
    return form;
}

bool formDiffersFrom(const SettingsForm& form, const Settings& stored) {
    return form.updates != stored.updates || form.menu != stored.menu || form.pass != stored.pass ||
           form.showNotes != stored.showNotes || leadingInteger(form.percentText) != stored.percent ||
           form.dataActivation != stored.dataActivation || leadingInteger(form.nbDaysText) != stored.nbDays ||
           form.fileActivation != stored.fileActivation || leadingInteger(form.fileSizeText) != stored.fileSize ||
           form.modeTag != stored.daemonMode;
}

Settings settingsFromForm(const SettingsForm& form, const std::vector<VolumeEntry>& volumeRows) {
    Settings settings;
    settings.updates = form.updates;
    settings.menu = form.menu;
    settings.pass = form.pass;
    settings.showNotes = form.showNotes;
    settings.percent = leadingInteger(form.percentText);
    settings.dataActivation = form.dataActivation;
    settings.nbDays = leadingInteger(form.nbDaysText);
    settings.fileActivation = form.fileActivation;
    settings.fileSize = leadingInteger(form.fileSizeText);
    settings.daemonMode = form.modeTag == 1 ? 1 : 2;
    settings.volumes.clear();
    for (const auto& row : volumeRows) {
        if (row.isProtected)
            settings.volumes.push_back(row);
    }
    return settings;
}

SaveButtonsChange saveButtonsChange(bool filtersModified, bool formDiffers, bool forceSave) {
    if (filtersModified || formDiffers)
        return SaveButtonsChange::Enable;
    return forceSave ? SaveButtonsChange::Keep : SaveButtonsChange::Disable;
}

} // namespace bw
