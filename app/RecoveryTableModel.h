#pragma once
// The rows the Recovery tab's table shows: the recovery list (search applied) or, while a cached folder
// is browsed, that folder's entries. Rows are read on demand so that 100,000 items cost nothing until
// they are painted.

#include "recovery_item.h"

#include <QAbstractTableModel>

namespace bw {

class RecoveryListState;
class SubFolderBrowser;

class RecoveryTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Role {
        InfoLineRole = Qt::UserRole + 1, // the information line under the title
        IconKeyRole,                     // the type the row's icon is chosen by
        RawPathRole,                     // the item's full path inside the cache
        IsFolderRole,
    };

    RecoveryTableModel(RecoveryListState& state, SubFolderBrowser& browser, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Re-reads everything after the list, the search or the folder level changed.
    void reload();
    bool showsFolderLevel() const;
    // Original folders inside it are shown as "~/…".
    void setHomeFolder(const QString& home) { m_home = home; }
    // The row as an item the recovery functions take; a folder entry becomes an item of its folder.
    RecoveryItem itemAt(int row) const;

    // The icon type of a name: folders without an extension (or "lproj") are plain folders; everything
    // else is typed by its name's extension.
    static QString iconKey(const std::string& displayName, bool isFolder);

private:
    QString infoLine(const RecoveryItem& item) const;

    RecoveryListState& m_state;
    SubFolderBrowser& m_browser;
    int m_rows = 0;
    QString m_home;
    mutable QHash<qint64, QString> m_dateTexts;
};

} // namespace bw
