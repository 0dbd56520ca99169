#pragma once
// The recovery tab's state without its widgets: the list shown, the search applied to it, the time and
// disk choices, and which controls are enabled. The Qt tab mirrors it into its widgets; bw2ctl and the
// tests drive it directly.

#include "recovery_item.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct RecoveryControls {
    bool emptyAllButton = true;
    bool emptySelectionButton = false;
    bool recoverButton = false;
    bool searchField = true;
    bool diskPopup = true;
    bool timePopup = true;
};

class RecoveryListState {
public:
    // Disk choice 0 is the home cache alone; any other tag means every local volume.
    static constexpr int kHomeDiskTag = 0;
    static constexpr int kAllDisksTag = 1;

    // As the tab starts: no list, time window 24 h, home cache, only "delete all" enabled.
    RecoveryListState() = default;

    // The tab is shown: `homeItems` is the home cache read with no window. Ends any search, chooses the
    // home cache and the first automatic window that shows something (0, everything, when none does).
    void loadGUI(const std::vector<RecoveryItem>& homeItems, double now);
    // The list re-read for the current choices after the user changed one of them.
    void changeDisplaySetting(std::vector<RecoveryItem> items);
    // The list re-read after the caches changed (pruning done, items deleted); selection goes.
    void reloadCacheNotification(std::vector<RecoveryItem> items);

    // The search field's text changed; an empty text ends the search. Each text filters the full list
    // afresh, so widening a search brings the wider result back.
    void updateSearch(const std::string& text);
    // Ends any search and shows the full list again, in its order.
    void destroySearch();

    // The rows shown (the search is applied here); also keeps "delete all" in step with them.
    std::size_t numberOfRows();
    const RecoveryItem& row(std::size_t index) const;
    // Copies of the rows shown, in order (what the actions work on).
    std::vector<RecoveryItem> itemsDisplayedInTable() const;

    void selectionChanged(std::size_t selectedRows);
    // A double click on a row: true when it is a folder that opens in the folder view, which then owns
    // the table (search, choices and deletion are disabled until becomeMainDelegate).
    bool doubleClick(std::size_t row);
    void becomeMainDelegate();

    void setTimeTag(int hours) { m_timeTag = hours; }
    void setDiskTag(int tag) { m_diskTag = tag; }
    int timeTag() const { return m_timeTag; }
    int diskTag() const { return m_diskTag; }
    // The window of the time choice, in seconds (0: no window).
    double timeWindowSeconds() const { return m_timeTag * 3600.0; }
    bool allDisks() const { return m_diskTag != kHomeDiskTag; }

    const RecoveryControls& controls() const { return m_controls; }
    const std::optional<std::string>& searchString() const { return m_searchStr; }
    const std::optional<std::string>& previousSearchString() const { return m_previousSearchStr; }
    bool weAreMainDelegate() const { return m_weAreMainDelegate; }
    bool searchActive() const { return m_searchStr && !m_searchStr->empty(); }

private:
    void setList(std::vector<RecoveryItem> items);
    void applySearch();

    // The full list (the design's backup while a search is on) and the rows of it shown, by position.
    std::shared_ptr<const std::vector<RecoveryItem>> m_list;
    std::vector<std::uint32_t> m_shown;
    // Folded display names of m_list, made on the first search over it.
    std::vector<std::string> m_folded;
    bool m_shownIsCurrent = true;

    std::optional<std::string> m_searchStr;
    std::optional<std::string> m_previousSearchStr;
    bool m_weAreMainDelegate = true;
    int m_timeTag = 24;
    int m_diskTag = kHomeDiskTag;
    RecoveryControls m_controls;
};

} // namespace bw
