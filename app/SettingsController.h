#pragma once
// The Settings and Advanced tabs: update, menu, note and password options, the limits, the caching mode,
// the protected-volume table and (through its filter editor) the filters. Edits stay in the controls until
// saved; saving rewrites the settings and tells the agent, which restarts protection with them.

#include "settings/settings.h"
#include "settings_form.h"

#include <QObject>
#include <QTimer>

#include <vector>

class QBoxLayout;
class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QWidget;

namespace bw {

struct AppContext;
class PXFiltersController;
class PXPasswordSheet;
class PXStepper;

class SettingsController : public QObject {
    Q_OBJECT
public:
    // `askSheet` is the password sheet the main window shares with this controller.
    SettingsController(AppContext& context, PXFiltersController* filterController, PXPasswordSheet* askSheet,
                       QWidget* window, QObject* parent = nullptr);

    QWidget* settingsPage() const { return m_settingsPage; }
    QWidget* advancedPage() const { return m_advancedPage; }

    void awakeFromNib();
    void loadGUI();
    void saveSettings();
    // A change the comparison cannot see: from the volume table or the filter editor.
    void settingChanged(QObject* sender);
    void testSettingsChanges();
    void controlTextDidChange(QLineEdit* field);
    void tableCBClicked(int row);
    void passwordSettingsToggle(bool on);
    void checkOrCreatePassword();
    void passwordAction(bool ok);
    void passwordAskDidEnd(bool ok);
    void removePasswordFromKeychain();

    // The controls as values, and the table's rows.
    SettingsForm form() const;
    const std::vector<VolumeEntry>& protectedVolumes() const { return _protectedVolumes; }
    bool forceSave() const { return _forceSave; }

    QPushButton* saveButton() const { return m_saveButton; }
    QPushButton* saveButtonAdvanced() const { return m_saveButtonAdvanced; }
    QCheckBox* appUpdateCB() const { return m_appUpdateCB; }
    QCheckBox* menuVisibleCB() const { return m_menuVisibleCB; }
    QCheckBox* passwordCB() const { return m_passwordCB; }
    QCheckBox* showNoteOnCacheUpdateCB() const { return m_showNotesCB; }
    QCheckBox* fileMaxSizeCB() const { return m_fileMaxSizeCB; }
    QCheckBox* deleteDataCB() const { return m_deleteDataCB; }
    QLineEdit* fileMaxSizeTF() const { return m_fileMaxSizeTF; }
    QLineEdit* ativityDayTF() const { return m_ativityDayTF; }
    QLineEdit* percentDiskSpaceTF() const { return m_percentTF; }
    QButtonGroup* cachingModeMatrix() const { return m_modeGroup; }
    QTableWidget* protectedVolumeTable() const { return m_volumeTable; }
    PXPasswordSheet* passwordCreationPanel() const { return m_creationSheet; }
    PXFiltersController* filterController() const { return m_filterController; }

private:
    void buildSettingsPage();
    void buildAdvancedPage();
    // A page's Save button, off until something changes, alone at the right end of a row of `layout`.
    QPushButton* addSaveButton(QWidget* page, QBoxLayout* layout, const char* objectName);
    void reloadVolumeTable();
    void enableBothSaveButtons(bool enabled);

    AppContext& m_context;
    PXFiltersController* m_filterController;
    PXPasswordSheet* m_askSheet;
    QWidget* m_window;
    std::vector<VolumeEntry> _protectedVolumes;
    bool _forceSave = false;
    bool m_reloading = false;
    QTimer setTimer;

    QWidget* m_settingsPage = nullptr;
    QWidget* m_advancedPage = nullptr;
    QCheckBox* m_appUpdateCB = nullptr;
    QCheckBox* m_menuVisibleCB = nullptr;
    QCheckBox* m_passwordCB = nullptr;
    QCheckBox* m_showNotesCB = nullptr;
    QCheckBox* m_fileMaxSizeCB = nullptr;
    QCheckBox* m_deleteDataCB = nullptr;
    QLineEdit* m_fileMaxSizeTF = nullptr;
    QLineEdit* m_ativityDayTF = nullptr;
    QLineEdit* m_percentTF = nullptr;
    PXStepper* m_percentStepper = nullptr;
    PXStepper* m_dayStepper = nullptr;
    PXStepper* m_sizeStepper = nullptr;
    QButtonGroup* m_modeGroup = nullptr;
    QTableWidget* m_volumeTable = nullptr;
    QPushButton* m_saveButton = nullptr;
    QPushButton* m_saveButtonAdvanced = nullptr;
    PXPasswordSheet* m_creationSheet = nullptr;
};

} // namespace bw
