#include "PXFiltersController.h"

#include "SettingsController.h"
#include "app_strings.h"
#include "defaults_store.h"
#include "list_table.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <set>

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

} // namespace

PXFiltersController::PXFiltersController(QObject* parent) : QObject(parent) {
    m_view = new QWidget();
    auto* layout = new QVBoxLayout(m_view);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    m_table = newListTable("filterTable", {text("200_Filter Column Type"), text("200_Filter Column Rule")}, m_view);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::AllEditTriggers);
    layout->addWidget(m_table);

    auto* buttons = new QHBoxLayout();
    buttons->setSpacing(2);
    m_add = new QToolButton(m_view);
    m_add->setIcon(QIcon::fromTheme("list-add"));
    m_add->setText("+");
    m_add->setToolTip(text("200_Filter Add Tooltip"));
    m_remove = new QToolButton(m_view);
    m_remove->setIcon(QIcon::fromTheme("list-remove"));
    m_remove->setText("−");
    m_remove->setToolTip(text("200_Filter Remove Tooltip"));
    m_remove->setEnabled(false);
    buttons->addWidget(m_add);
    buttons->addWidget(m_remove);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(m_add, &QToolButton::clicked, this, &PXFiltersController::addFilter);
    connect(m_remove, &QToolButton::clicked, this, &PXFiltersController::removeFilter);
    connect(m_table, &QTableWidget::itemSelectionChanged, this,
            [this] { m_remove->setEnabled(!m_table->selectionModel()->selectedRows().isEmpty()); });
    connect(m_table, &QTableWidget::itemChanged, this, [this](QTableWidgetItem* item) {
        if (!m_reloading && item->column() == kRuleColumn)
            setRule(item->row(), item->text());
    });
}

void PXFiltersController::awakeFromNib(const DefaultsStore& store) {
    _filters = FilterList(store.filters());
    reloadTable();
}

void PXFiltersController::changed() {
    if (settingsController)
        settingsController->settingChanged(this);
}

void PXFiltersController::addFilter() {
    _filters.addFilter();
    reloadTable();
    changed();
}

void PXFiltersController::removeFilter() {
    std::set<std::size_t> rows;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        rows.insert(static_cast<std::size_t>(index.row()));
    if (rows.empty())
        return;
    _filters.removeFilters(rows);
    reloadTable();
    changed();
}

void PXFiltersController::setTypeIndex(int row, int index) {
    if (row < 0)
        return;
    _filters.setTypeIndex(static_cast<std::size_t>(row), index);
    changed();
    reloadTable();
}

void PXFiltersController::setRule(int row, const QString& rule) {
    if (row < 0)
        return;
    _filters.setRule(static_cast<std::size_t>(row), rule.toStdString());
    changed();
    // Redrawn later: the edit that reported the text is still on the stack.
    QMetaObject::invokeMethod(
        this, [this] { reloadTable(); }, Qt::QueuedConnection);
}

void PXFiltersController::reloadTable() {
    m_reloading = true;
    const auto& filters = _filters.filters();
    m_table->setRowCount(static_cast<int>(filters.size()));
    for (int row = 0; row < static_cast<int>(filters.size()); ++row) {
        const FilterEntry& entry = filters[static_cast<std::size_t>(row)];
        auto* combo = qobject_cast<QComboBox*>(m_table->cellWidget(row, kTypeColumn));
        if (!combo) {
            combo = new QComboBox();
            combo->addItem(text("200_Filter Type Name"), 1);
            combo->addItem(text("200_Filter Type Extension"), 2);
            connect(combo, &QComboBox::activated, this, [this, combo](int index) {
                // The row of the pop-up now, not when it was made: rows move when others are removed.
                for (int r = 0; r < m_table->rowCount(); ++r) {
                    if (m_table->cellWidget(r, kTypeColumn) == combo) {
                        setTypeIndex(r, index);
                        return;
                    }
                }
            });
            m_table->setCellWidget(row, kTypeColumn, combo);
        }
        int index = combo->findData(static_cast<int>(entry.type));
        combo->setCurrentIndex(index);
        QString rule = QString::fromStdString(entry.rule);
        QTableWidgetItem* item = m_table->item(row, kRuleColumn);
        if (!item) {
            item = new QTableWidgetItem(rule);
            m_table->setItem(row, kRuleColumn, item);
        } else if (item->text() != rule) {
            item->setText(rule);
        }
    }
    m_reloading = false;
    m_remove->setEnabled(!m_table->selectionModel()->selectedRows().isEmpty());
}

} // namespace bw
