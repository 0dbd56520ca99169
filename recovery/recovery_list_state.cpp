#include "recovery_list_state.h"

#include "recovery_list.h"
#include "text/text_folding.h"

#include <numeric>

namespace bw {

void RecoveryListState::setList(std::vector<RecoveryItem> items) {
    m_list = std::make_shared<const std::vector<RecoveryItem>>(std::move(items));
    m_folded.clear();
    m_shownIsCurrent = false;
}

void RecoveryListState::applySearch() {
    m_shown.clear();
    if (!m_list) {
        m_shownIsCurrent = true;
        return;
    }
    const std::vector<RecoveryItem>& list = *m_list;
    if (!searchActive()) {
        m_shown.resize(list.size());
        std::iota(m_shown.begin(), m_shown.end(), 0u);
        m_shownIsCurrent = true;
        return;
    }
    if (m_folded.size() != list.size()) {
        m_folded.clear();
        m_folded.reserve(list.size());
        for (const RecoveryItem& item : list)
            m_folded.push_back(foldedForSearch(item.displayName));
    }
    const std::string needle = foldedForSearch(*m_searchStr);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (foldedContains(m_folded[i], needle))
            m_shown.push_back(static_cast<std::uint32_t>(i));
    m_shownIsCurrent = true;
}

void RecoveryListState::loadGUI(const std::vector<RecoveryItem>& homeItems, double now) {
    destroySearch();
    m_diskTag = kHomeDiskTag;
    m_timeTag = automaticWindowHours(homeItems, now);
    setList(itemsWithinWindow(homeItems, m_timeTag, now));
    m_controls.emptySelectionButton = false;
    m_controls.recoverButton = false;
    m_controls.emptyAllButton = numberOfRows() > 0;
}

void RecoveryListState::changeDisplaySetting(std::vector<RecoveryItem> items) {
    setList(std::move(items));
    m_controls.emptyAllButton = numberOfRows() > 0;
    m_controls.emptySelectionButton = false;
    m_controls.recoverButton = false;
}

void RecoveryListState::reloadCacheNotification(std::vector<RecoveryItem> items) {
    setList(std::move(items));
    numberOfRows();
    selectionChanged(0);
}

void RecoveryListState::updateSearch(const std::string& text) {
    if (text.empty()) {
        m_searchStr.reset();
        m_previousSearchStr.reset();
    } else if (m_searchStr && *m_searchStr == text) {
        return;
    } else {
        m_previousSearchStr = m_searchStr ? *m_searchStr : text;
        m_searchStr = text;
    }
    m_shownIsCurrent = false;
}

void RecoveryListState::destroySearch() {
    m_searchStr.reset();
    m_previousSearchStr.reset();
    m_shownIsCurrent = false;
}

std::size_t RecoveryListState::numberOfRows() {
    if (!m_list && !searchActive()) {
        m_controls.emptyAllButton = false;
        m_shown.clear();
        return 0;
    }
    if (!m_shownIsCurrent)
        applySearch();
    if (!m_shown.empty())
        m_controls.emptyAllButton = true;
    return m_shown.size();
}

const RecoveryItem& RecoveryListState::row(std::size_t index) const {
    return (*m_list)[m_shown.at(index)];
}

std::vector<RecoveryItem> RecoveryListState::itemsDisplayedInTable() const {
    std::vector<RecoveryItem> items;
    if (!m_list)
        return items;
    items.reserve(m_shown.size());
    for (const std::uint32_t index : m_shown)
        items.push_back((*m_list)[index]);
    return items;
}

void RecoveryListState::selectionChanged(std::size_t selectedRows) {
    const bool hasRows = m_shownIsCurrent ? !m_shown.empty() : numberOfRows() > 0;
    m_controls.emptyAllButton = hasRows;
    if (selectedRows > 0) {
        m_controls.emptySelectionButton = true;
        m_controls.recoverButton = true;
    } else if (m_weAreMainDelegate) {
        m_controls.emptySelectionButton = false;
        m_controls.recoverButton = false;
    }
}

bool RecoveryListState::doubleClick(std::size_t index) {
    if (!m_weAreMainDelegate || index >= m_shown.size())
        return false;
    const RecoveryItem& item = row(index);
    if (!canEnter(item.isFolder, item.displayName))
        return false;
    m_weAreMainDelegate = false;
    m_controls.searchField = false;
    m_controls.diskPopup = false;
    m_controls.timePopup = false;
    m_controls.emptySelectionButton = false;
    m_controls.emptyAllButton = false;
    return true;
}

void RecoveryListState::becomeMainDelegate() {
    m_controls.searchField = true;
    m_controls.diskPopup = true;
    m_controls.timePopup = true;
    m_weAreMainDelegate = true;
}

} // namespace bw
