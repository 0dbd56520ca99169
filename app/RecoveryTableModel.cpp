#include "RecoveryTableModel.h"

#include "app_strings.h"
#include "recovery_list_state.h"
#include "recovery_texts.h"
#include "sub_folder_browser.h"

#include <QMimeDatabase>

#include <algorithm>

namespace bw {

namespace {

QString text(const char* key) {
    return QString::fromStdString(appString(key));
}

QString sizeText(std::uint64_t bytes) {
    SizeTextParts parts = sizeTextParts(bytes);
    // The format holds two "%@": the number, then the unit.
    QString line = text("200_Generic size information");
    for (const QString& part : {QString::fromStdString(parts.numberText), text(parts.unitKey)}) {
        const auto at = line.indexOf(QLatin1String("%@"));
        if (at < 0)
            break;
        line.replace(at, 2, part);
    }
    return line;
}

std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

RecoveryTableModel::RecoveryTableModel(RecoveryListState& state, SubFolderBrowser& browser, QObject* parent)
    : QAbstractTableModel(parent), m_state(state), m_browser(browser) {}

int RecoveryTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int RecoveryTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

bool RecoveryTableModel::showsFolderLevel() const {
    return m_browser.isOpen();
}

void RecoveryTableModel::reload() {
    beginResetModel();
    m_rows = showsFolderLevel() ? static_cast<int>(m_browser.currentDisplay().size())
                                : static_cast<int>(std::min<std::size_t>(m_state.numberOfRows(), INT32_MAX));
    endResetModel();
}

RecoveryItem RecoveryTableModel::itemAt(int row) const {
    if (row < 0 || row >= m_rows)
        return {};
    if (!showsFolderLevel())
        return m_state.row(static_cast<std::size_t>(row));
    const FolderEntry& entry = m_browser.currentDisplay()[static_cast<std::size_t>(row)];
    RecoveryItem item;
    item.rawItemPath = entry.rawItemPath;
    item.batchFolder = parentOf(entry.rawItemPath);
    item.storedName = entry.rawItemPath.substr(item.batchFolder.size() + 1);
    item.displayName = entry.displayName;
    item.isFolder = entry.isFolder;
    return item;
}

QString RecoveryTableModel::iconKey(const std::string& displayName, bool isFolder) {
    const std::string extension = pathExtension(displayName);
    QString lower = QString::fromStdString(extension).toLower();
    if (isFolder && (lower.isEmpty() || lower == "lproj"))
        return QStringLiteral("inode/directory");
    static QMimeDatabase database;
    if (lower.isEmpty())
        return QStringLiteral("application/octet-stream");
    return database.mimeTypeForFile("x." + lower, QMimeDatabase::MatchExtension).name();
}

QString RecoveryTableModel::infoLine(const RecoveryItem& item) const {
    if (item.cacheDate == 0.0)
        return {};
    const auto key = static_cast<qint64>(item.cacheDate);
    auto found = m_dateTexts.constFind(key);
    if (found == m_dateTexts.constEnd())
        found = m_dateTexts.insert(key, QString::fromStdString(localDateText(item.cacheDate)));
    QString line = item.itemSize && *item.itemSize > 0
                       ? text("200_Recovery Cell Infos with size").arg(*found, sizeText(*item.itemSize))
                       : text("200_Recovery Cell Infos").arg(*found);
    if (item.originalPath) {
        QString folder = QString::fromStdString(parentOf(*item.originalPath));
        if (!m_home.isEmpty() && (folder == m_home || folder.startsWith(m_home + '/')))
            folder = '~' + folder.mid(m_home.size());
        line += text("200_Recovery Cell Original Folder").arg(folder.isEmpty() ? QStringLiteral("/") : folder);
    }
    return line;
}

QVariant RecoveryTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_rows)
        return {};
    const int row = index.row();
    if (showsFolderLevel()) {
        const FolderEntry& entry = m_browser.currentDisplay()[static_cast<std::size_t>(row)];
        switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:
            return QString::fromStdString(entry.displayName);
        case IconKeyRole:
            return iconKey(entry.displayName, entry.isFolder);
        case RawPathRole:
            return QString::fromStdString(entry.rawItemPath);
        case IsFolderRole:
            return entry.isFolder;
        case InfoLineRole:
            return QString();
        default:
            return {};
        }
    }
    const RecoveryItem& item = m_state.row(static_cast<std::size_t>(row));
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return QString::fromStdString(item.displayName);
    case IconKeyRole:
        return iconKey(item.displayName, item.isFolder);
    case RawPathRole:
        return QString::fromStdString(item.rawItemPath);
    case IsFolderRole:
        return item.isFolder;
    case InfoLineRole:
        return infoLine(item);
    default:
        return {};
    }
}

Qt::ItemFlags RecoveryTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags; // nothing can be dropped onto the table
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

} // namespace bw
