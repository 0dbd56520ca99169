#include "SettingsController.h"

#include "AppContext.h"
#include "PXFiltersController.h"
#include "app_strings.h"
#include "bus/notification_names.h"
#include "files/log_line.h"
#include "list_table.h"
#include "password_check.h"
#include "password_sheet.h"
#include "stepper.h"
#include "volume_rows.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <syslog.h>

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

constexpr int kCheckColumn = 0; // "cb_col"
constexpr int kNameColumn = 1;

} // namespace

SettingsController::SettingsController(AppContext& context, PXFiltersController* filterController,
                                       PXPasswordSheet* askSheet, QWidget* window, QObject* parent)
    : QObject(parent), m_context(context), m_filterController(filterController), m_askSheet(askSheet),
      m_window(window) {
    buildSettingsPage();
    buildAdvancedPage();
    m_creationSheet = new PXPasswordSheet(true,
                                          {text("200_Password Field"), text("200_Password Confirm Field"),
                                           text("200_Password OK Button"), text("200_Password Cancel Button")},
                                          m_window);
    m_filterController->setSettingsController(this);
    setTimer.setInterval(200);
    connect(&setTimer, &QTimer::timeout, this, &SettingsController::testSettingsChanges);
}

void SettingsController::buildSettingsPage() {
    m_settingsPage = new QWidget();
    auto* layout = new QVBoxLayout(m_settingsPage);

    auto* general = new QGroupBox(text("200_Settings General"), m_settingsPage);
    auto* generalLayout = new QVBoxLayout(general);
    m_appUpdateCB = new QCheckBox(text("200_Settings Updates CB"), general);
    m_menuVisibleCB = new QCheckBox(text("200_Settings Menu CB"), general);
    m_showNotesCB = new QCheckBox(text("200_Settings Notes CB"), general);
    m_passwordCB = new QCheckBox(text("200_Settings Password CB"), general);
    for (QCheckBox* box : {m_appUpdateCB, m_menuVisibleCB, m_showNotesCB, m_passwordCB})
        generalLayout->addWidget(box);
    // The group box owns its layout (Qt parent ownership, which the analyzer cannot follow here).
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks)
    layout->addWidget(general);
    connect(m_passwordCB, &QCheckBox::clicked, this, &SettingsController::passwordSettingsToggle);

    auto* volumes = new QGroupBox(text("200_Settings Volumes"), m_settingsPage);
    auto* volumesLayout = new QVBoxLayout(volumes);
    m_volumeTable = newListTable("protectedVolumeTable",
                                 {text("200_Volume Column Protected"), text("200_Volume Column Name")}, volumes);
    m_volumeTable->setSelectionMode(QAbstractItemView::NoSelection);
    m_volumeTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_volumeTable->setMinimumHeight(120);
    volumesLayout->addWidget(m_volumeTable);
    layout->addWidget(volumes, 1);
    connect(m_volumeTable, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (m_reloading || item->column() != kCheckColumn)
            return;
        int row = item->row();
        bool shown = item->checkState() == Qt::Checked;
        if (row >= 0 && static_cast<std::size_t>(row) < _protectedVolumes.size() &&
            shown != _protectedVolumes[static_cast<std::size_t>(row)].isProtected)
            tableCBClicked(row);
    });

    m_saveButton = addSaveButton(m_settingsPage, layout, "saveButton");
}

QPushButton* SettingsController::addSaveButton(QWidget* page, QBoxLayout* layout, const char* objectName) {
    auto* button = new QPushButton(text("200_Save Button"), page);
    button->setObjectName(objectName);
    button->setEnabled(false);
    auto* row = new QHBoxLayout();
    row->addStretch(1);
    row->addWidget(button);
    layout->addLayout(row);
    connect(button, &QPushButton::clicked, this, &SettingsController::saveSettings);
    return button;
}

void SettingsController::buildAdvancedPage() {
    m_advancedPage = new QWidget();
    auto* layout = new QVBoxLayout(m_advancedPage);

    auto* limits = new QGroupBox(text("200_Settings Limits"), m_advancedPage);
    auto* grid = new QGridLayout(limits);
    auto numberField = [limits](QLineEdit*& field, PXStepper*& stepper, int minimum, int maximum, int step) {
        field = new QLineEdit(limits);
        field->setMaxLength(9);
        field->setAlignment(Qt::AlignRight);
        field->setMaximumWidth(field->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 16);
        stepper = new PXStepper(minimum, maximum, step, limits);
    };
    numberField(m_percentTF, m_percentStepper, 1, 99, 1);
    numberField(m_ativityDayTF, m_dayStepper, 1, 365, 1);
    numberField(m_fileMaxSizeTF, m_sizeStepper, 1, 1000000, 100);
    m_deleteDataCB = new QCheckBox(text("200_Settings Days CB"), limits);
    m_fileMaxSizeCB = new QCheckBox(text("200_Settings Size CB"), limits);
    grid->addWidget(new QLabel(text("200_Settings Percent Label"), limits), 0, 0);
    grid->addWidget(m_deleteDataCB, 1, 0);
    grid->addWidget(m_fileMaxSizeCB, 2, 0);
    const QList<QPair<QLineEdit*, PXStepper*>> pairs = {
        {m_percentTF, m_percentStepper}, {m_ativityDayTF, m_dayStepper}, {m_fileMaxSizeTF, m_sizeStepper}};
    for (int row = 0; row < pairs.size(); ++row) {
        QLineEdit* field = pairs[row].first;
        PXStepper* stepper = pairs[row].second;
        grid->addWidget(field, row, 1);
        grid->addWidget(stepper, row, 2);
        connect(field, &QLineEdit::textEdited, this, [this, field] { controlTextDidChange(field); });
        connect(stepper, &PXStepper::stepped, this, [field](int value) { field->setText(QString::number(value)); });
    }
    grid->setColumnStretch(0, 1);
    layout->addWidget(limits);

    auto* mode = new QGroupBox(text("200_Settings Mode"), m_advancedPage);
    auto* modeLayout = new QVBoxLayout(mode);
    m_modeGroup = new QButtonGroup(this);
    auto* move = new QRadioButton(text("200_Settings Mode Move"), mode);
    auto* copy = new QRadioButton(text("200_Settings Mode Copy"), mode);
    m_modeGroup->addButton(move, 1);
    m_modeGroup->addButton(copy, 2);
    modeLayout->addWidget(move);
    modeLayout->addWidget(copy);
    layout->addWidget(mode);

    auto* filters = new QGroupBox(text("200_Settings Filters"), m_advancedPage);
    auto* filtersLayout = new QVBoxLayout(filters);
    filtersLayout->addWidget(m_filterController->view());
    m_filterController->view()->setMinimumHeight(110);
    layout->addWidget(filters, 1);

    m_saveButtonAdvanced = addSaveButton(m_advancedPage, layout, "saveButtonAdvanced");
}

void SettingsController::awakeFromNib() {
    loadGUI();
}

void SettingsController::loadGUI() {
    Settings stored = m_context.store.settings();
    SettingsForm form = formFromSettings(stored, m_context.checkPassword());
    m_appUpdateCB->setChecked(form.updates);
    m_menuVisibleCB->setChecked(form.menu);
    m_showNotesCB->setChecked(form.showNotes);
    m_deleteDataCB->setChecked(form.dataActivation);
    m_fileMaxSizeCB->setChecked(form.fileActivation);
    m_passwordCB->setChecked(form.pass);
    m_percentTF->setText(QString::fromStdString(form.percentText));
    m_ativityDayTF->setText(QString::fromStdString(form.nbDaysText));
    m_fileMaxSizeTF->setText(QString::fromStdString(form.fileSizeText));
    // A stored mode other than 1 and 2 selects no cell; saving then writes 2 (copy).
    m_modeGroup->setExclusive(false);
    for (QAbstractButton* button : m_modeGroup->buttons())
        button->setChecked(m_modeGroup->id(button) == form.modeTag);
    m_modeGroup->setExclusive(true);
    m_percentStepper->setValue(static_cast<int>(leadingInteger(form.percentText)));
    m_dayStepper->setValue(static_cast<int>(leadingInteger(form.nbDaysText)));
    m_sizeStepper->setValue(static_cast<int>(leadingInteger(form.fileSizeText)));

    _protectedVolumes =
        protectedVolumeRows(m_context.services.mountedVolumes(), stored.volumes, m_context.services.volumeChecks);
    reloadVolumeTable();
    if (!setTimer.isActive())
        setTimer.start();
}

void SettingsController::reloadVolumeTable() {
    m_reloading = true;
    m_volumeTable->setRowCount(static_cast<int>(_protectedVolumes.size()));
    const std::string homeTrash = appString("200_Home Trash");
    for (int row = 0; row < static_cast<int>(_protectedVolumes.size()); ++row) {
        const VolumeEntry& entry = _protectedVolumes[static_cast<std::size_t>(row)];
        auto* check = new QTableWidgetItem();
        Qt::ItemFlags flags = Qt::ItemIsUserCheckable;
        // The home trash row is always protected: shown, not changeable.
        if (row != 0)
            flags |= Qt::ItemIsEnabled;
        check->setFlags(flags);
        check->setCheckState(entry.isProtected ? Qt::Checked : Qt::Unchecked);
        m_volumeTable->setItem(row, kCheckColumn, check);
        auto* name = new QTableWidgetItem(QString::fromStdString(volumeRowName(entry, homeTrash)));
        name->setFlags(row == 0 ? Qt::NoItemFlags : Qt::ItemIsEnabled);
        name->setToolTip(QString::fromStdString(entry.path));
        m_volumeTable->setItem(row, kNameColumn, name);
    }
    m_reloading = false;
}

SettingsForm SettingsController::form() const {
    SettingsForm form;
    form.updates = m_appUpdateCB->isChecked();
    form.menu = m_menuVisibleCB->isChecked();
    form.pass = m_passwordCB->isChecked();
    form.showNotes = m_showNotesCB->isChecked();
    form.percentText = m_percentTF->text().toStdString();
    form.dataActivation = m_deleteDataCB->isChecked();
    form.nbDaysText = m_ativityDayTF->text().toStdString();
    form.fileActivation = m_fileMaxSizeCB->isChecked();
    form.fileSizeText = m_fileMaxSizeTF->text().toStdString();
    form.modeTag = m_modeGroup->checkedId();
    return form;
}

void SettingsController::enableBothSaveButtons(bool enabled) {
    m_saveButton->setEnabled(enabled);
    m_saveButtonAdvanced->setEnabled(enabled);
}

void SettingsController::testSettingsChanges() {
    switch (saveButtonsChange(m_filterController->wasModified(), formDiffersFrom(form(), m_context.store.settings()),
                              _forceSave)) {
    case SaveButtonsChange::Enable:
        enableBothSaveButtons(true);
        break;
    case SaveButtonsChange::Disable:
        enableBothSaveButtons(false);
        break;
    case SaveButtonsChange::Keep:
        break;
    }
}

void SettingsController::settingChanged(QObject* sender) {
    if (sender == m_volumeTable) {
        m_saveButton->setEnabled(true);
        _forceSave = true;
    } else if (sender == m_filterController) {
        m_saveButtonAdvanced->setEnabled(true);
    }
}

void SettingsController::controlTextDidChange(QLineEdit* field) {
    int value = static_cast<int>(leadingInteger(field->text().toStdString()));
    if (field == m_percentTF)
        m_percentStepper->setValue(value);
    else if (field == m_ativityDayTF)
        m_dayStepper->setValue(value);
    else if (field == m_fileMaxSizeTF)
        m_sizeStepper->setValue(value);
    enableBothSaveButtons(true);
}

void SettingsController::tableCBClicked(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= _protectedVolumes.size())
        return;
    VolumeEntry& entry = _protectedVolumes[static_cast<std::size_t>(row)];
    entry.isProtected = !entry.isProtected;
    m_reloading = true;
    if (QTableWidgetItem* item = m_volumeTable->item(row, kCheckColumn))
        item->setCheckState(entry.isProtected ? Qt::Checked : Qt::Unchecked);
    m_reloading = false;
    settingChanged(m_volumeTable);
}

void SettingsController::saveSettings() {
    enableBothSaveButtons(false);
    Settings settings = settingsFromForm(form(), _protectedVolumes);
    m_context.store.storeSettings(settings, m_filterController->filters());
    m_filterController->setWasModified(false);
    _forceSave = false;
    PlistPtr dictionary = settings.toPlist();
    m_context.bus.post(notif::kSettingsUpdated, std::nullopt, dictionary.get(), true);
}

void SettingsController::passwordSettingsToggle(bool on) {
    m_saveButton->setEnabled(true);
    if (on) {
        checkOrCreatePassword();
        return;
    }
    // Nothing to verify when no password exists (its creation was cancelled): the box simply goes off.
    if (m_context.keychain.find().status == KeychainStatus::NotFound)
        return;
    m_creationSheet->clearFields();
    m_askSheet->ask(text("200_Password Ask Title"), text("200_Password Remove Message"),
                    [this](bool ok) { passwordAskDidEnd(ok); });
}

void SettingsController::checkOrCreatePassword() {
    if (m_context.keychain.find().status == KeychainStatus::Found)
        return;
    m_creationSheet->ask(text("200_Password Create Title"), text("200_Password Create Message"),
                         [this](bool ok) { passwordAction(ok); });
}

void SettingsController::passwordAction(bool ok) {
    if (ok) {
        if (m_creationSheet->password() != m_creationSheet->confirmation()) {
            m_creationSheet->refuse();
            return;
        }
        std::string error;
        if (!m_context.keychain.add(m_creationSheet->password().toStdString(), &error)) {
            bw::logLine(LOG_ERR, "%s Binwarden: Keychain problem (%s)", "-[SettingsController passwordAction:]",
                        error.c_str());
            QApplication::beep();
            emit m_creationSheet->refused();
            return;
        }
    }
    m_creationSheet->dismiss();
}

void SettingsController::passwordAskDidEnd(bool ok) {
    if (!ok) {
        m_askSheet->dismiss();
        m_passwordCB->setChecked(true);
        return;
    }
    if (!typedPasswordMatches(m_context.keychain, *m_askSheet, "-[SettingsController passwordAskDidEnd:]"))
        return;
    m_askSheet->dismiss();
    removePasswordFromKeychain();
    m_saveButton->setEnabled(true);
}

void SettingsController::removePasswordFromKeychain() {
    std::string error;
    if (!m_context.keychain.remove(&error)) {
        // The password still guards the Recovery tab, so the box stays on and nothing claims otherwise.
        bw::logLine(LOG_ERR, "%s Binwarden: Keychain problem (%s)", "-[SettingsController removePasswordFromKeychain]",
                    error.c_str());
        QApplication::beep();
        m_passwordCB->setChecked(true);
        return;
    }
    saveSettings();
}

} // namespace bw
