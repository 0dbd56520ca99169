#pragma once
// The filter table of the Advanced tab: type and rule columns, add and remove. It only edits the list;
// the settings panel's save stores it.

#include "filter_list.h"

#include <QObject>

class QTableWidget;
class QToolButton;
class QWidget;

namespace bw {

class DefaultsStore;
class SettingsController;

class PXFiltersController : public QObject {
    Q_OBJECT
public:
    // Column identifiers.
    static constexpr int kTypeColumn = 0; // "type_col"
    static constexpr int kRuleColumn = 1; // "rule_col"

    explicit PXFiltersController(QObject* parent = nullptr);

    // The table with its add and remove buttons (owned by whoever takes it into a layout).
    QWidget* view() const { return m_view; }

    // Reads "BWS_filters" once; the list then lives until the program ends.
    void awakeFromNib(const DefaultsStore& store);
    void setSettingsController(SettingsController* controller) { settingsController = controller; }

    void addFilter();
    void removeFilter();
    // A cell edit as the table reports it: the pop-up's item index for the type column, the text for the
    // rule column.
    void setTypeIndex(int row, int index);
    void setRule(int row, const QString& rule);

    const std::vector<FilterEntry>& filters() const { return _filters.filters(); }
    bool wasModified() const { return _filters.wasModified(); }
    void setWasModified(bool modified) { _filters.setWasModified(modified); }

    QTableWidget* filterTable() const { return m_table; }
    QToolButton* addFilterButton() const { return m_add; }
    QToolButton* removeFilterButton() const { return m_remove; }

private:
    void reloadTable();
    void changed();

    QWidget* m_view = nullptr;
    QTableWidget* m_table = nullptr;
    QToolButton* m_add = nullptr;
    QToolButton* m_remove = nullptr;
    SettingsController* settingsController = nullptr;
    FilterList _filters;
    bool m_reloading = false;
};

} // namespace bw
