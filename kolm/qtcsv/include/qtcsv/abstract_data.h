#pragma once
// Interface of a table that the CSV reader fills row by row.

#include <QStringList>

namespace QtCSV {

class AbstractData {
public:
    virtual ~AbstractData() = default;

    virtual void addEmptyRow() = 0;
    virtual void addRow(const QStringList& values) = 0;
    virtual void clear() = 0;
    virtual bool isEmpty() const = 0;
    virtual int rowCount() const = 0;
    // An empty row for an index outside the table.
    virtual QStringList rowValues(int row) const = 0;
};

}  // namespace QtCSV
