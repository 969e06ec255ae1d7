#include "qtcsv/string_data.h"

namespace QtCSV {

void StringData::addEmptyRow() { rows_.append(QStringList()); }

void StringData::addRow(const QStringList& values) { rows_.append(values); }

void StringData::addRow(const QString& value) { rows_.append(QStringList(value)); }

void StringData::clear() { rows_.clear(); }

bool StringData::isEmpty() const { return rows_.isEmpty(); }

int StringData::rowCount() const { return rows_.size(); }

QStringList StringData::rowValues(int row) const {
    if (row < 0 || row >= rows_.size()) {
        return QStringList();
    }
    return rows_.at(row);
}

void StringData::insertRow(int row, const QStringList& values) {
    rows_.insert(qBound(0, row, rows_.size()), values);
}

void StringData::insertRow(int row, const QString& value) { insertRow(row, QStringList(value)); }

void StringData::removeRow(int row) {
    if (row >= 0 && row < rows_.size()) {
        rows_.removeAt(row);
    }
}

void StringData::replaceRow(int row, const QStringList& values) {
    if (row >= 0 && row < rows_.size()) {
        rows_[row] = values;
    }
}

void StringData::replaceRow(int row, const QString& value) { replaceRow(row, QStringList(value)); }

void StringData::reserve(int size) {
    if (size > 0) {
        rows_.reserve(size);
    }
}

StringData& StringData::operator<<(const QStringList& values) {
    addRow(values);
    return *this;
}

StringData& StringData::operator<<(const QString& value) {
    addRow(value);
    return *this;
}

bool StringData::operator==(const StringData& other) const { return rows_ == other.rows_; }

bool StringData::operator!=(const StringData& other) const { return !(*this == other); }

}  // namespace QtCSV
