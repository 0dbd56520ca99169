#pragma once
// The tables of the settings pages: rows under a header, the first column as wide as its contents and
// the last one taking the rest of the width, no row numbers.

#include <QStringList>

class QTableWidget;
class QWidget;

namespace bw {

// An empty table with one column per header; selection and editing are the caller's to set.
QTableWidget* newListTable(const QString& objectName, const QStringList& headers, QWidget* parent);

} // namespace bw
