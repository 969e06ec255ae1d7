#pragma once
// A table of text rows; rows may differ in length.

#include "qtcsv/abstract_data.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace QtCSV {

class StringData : public AbstractData {
public:
    void addEmptyRow() override;
    void addRow(const QStringList& values) override;
    // A text as a row of one element.
    void addRow(const QString& value);
    void clear() override;
    bool isEmpty() const override;
    int rowCount() const override;
    QStringList rowValues(int row) const override;

    // An index past the end appends; a negative one inserts at the front.
    void insertRow(int row, const QStringList& values);
    void insertRow(int row, const QString& value);
    // Indices outside the table are ignored.
    void removeRow(int row);
    void replaceRow(int row, const QStringList& values);
    void replaceRow(int row, const QString& value);
    void reserve(int size);

    StringData& operator<<(const QStringList& values);
    StringData& operator<<(const QString& value);
    bool operator==(const StringData& other) const;
    bool operator!=(const StringData& other) const;

private:
    QList<QStringList> rows_;
};

}  // namespace QtCSV
