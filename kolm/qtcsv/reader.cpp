#include "qtcsv/reader.h"

#include "qtcsv/symbols.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace QtCSV {

namespace {

void logFailure(const char* step, const QString& text) { qDebug().noquote() << QString("%1: %2").arg(step, text); }

bool checkFile(const QString& filePath) {
    if (filePath.isEmpty()) {
        logFailure("CheckFile", "Error - file path is empty");
        return false;
    }
    const QFileInfo info(filePath);
    if (!info.isAbsolute() || info.isDir() || !info.exists()) {
        logFailure("CheckFile", "Error - wrong file path: " + filePath);
        return false;
    }
    return true;
}

bool openFile(QFile& file) {
    if (!file.open(QIODevice::ReadOnly)) {
        logFailure("openFile", "Error - can't open file: " + file.fileName());
        return false;
    }
    return true;
}

bool checkParams(const QString& separator) {
    if (separator.isEmpty()) {
        logFailure("checkParams", "Error - separator could not be empty");
        return false;
    }
    return true;
}

// Splits raw lines into rows; a delimited element may go on over several lines.
class RowSplitter {
public:
    RowSplitter(const QString& separator, const QString& delimiter) : separator_(separator), delimiter_(delimiter) {}

    // Feeds one line; true when it finished a row.
    bool feed(const QString& line) {
        int i = 0;
        if (inDelimited_) {
            element_ += LF;
            run_ = 0;
        } else {
            elementStart_ = true;
        }
        const int length = line.size();
        while (i < length) {
            if (inDelimited_) {
                if (startsAt(line, i, delimiter_)) {
                    const int after = i + delimiter_.size();
                    element_ += delimiter_;
                    if ((after == length || startsAt(line, after, separator_)) && run_ % 2 == 0) {
                        inDelimited_ = false;
                    } else {
                        ++run_;
                    }
                    i = after;
                } else {
                    element_ += line.at(i++);
                    run_ = 0;
                }
                continue;
            }
            if (elementStart_ && !delimiter_.isEmpty() && startsAt(line, i, delimiter_)) {
                element_ += delimiter_;
                i += delimiter_.size();
                inDelimited_ = true;
                elementStart_ = false;
                run_ = 0;
                continue;
            }
            elementStart_ = false;
            if (startsAt(line, i, separator_)) {
                finishElement();
                i += separator_.size();
                elementStart_ = true;
                continue;
            }
            element_ += line.at(i++);
        }
        if (inDelimited_) {
            return false;
        }
        finishElement();
        return true;
    }

    bool hasOpenRow() const { return inDelimited_; }

    // The finished (or, at the end of the input, the open) row.
    QStringList takeRow() {
        if (inDelimited_) {
            finishElement();
            inDelimited_ = false;
        }
        QStringList row;
        row.swap(row_);
        return row;
    }

private:
    static bool startsAt(const QString& line, int pos, const QString& what) {
        return !what.isEmpty() && line.midRef(pos, what.size()) == what;
    }

    void finishElement() {
        row_.append(clean(element_));
        element_.clear();
    }

    QString clean(const QString& element) const {
        if (delimiter_.isEmpty()) {
            return element;
        }
        QString text = element;
        const QString trimmed = element.trimmed();
        if (trimmed.size() >= 2 * delimiter_.size() && trimmed.startsWith(delimiter_) &&
            trimmed.endsWith(delimiter_)) {
            text = trimmed.mid(delimiter_.size(), trimmed.size() - 2 * delimiter_.size());
        }
        text.replace(delimiter_ + delimiter_, delimiter_);
        return text;
    }

    const QString separator_;
    const QString delimiter_;
    QStringList row_;
    QString element_;
    bool inDelimited_ = false;
    bool elementStart_ = true;
    int run_ = 0;  // delimiters in a row just before the current position
};

bool read(QIODevice& device, Reader::AbstractProcessor& processor, const QString& separator,
          const QString& textDelimiter, QTextCodec* codec) {
    if (!checkParams(separator)) {
        return false;
    }
    if (!device.isOpen() || !device.isReadable()) {
        logFailure("read", "Error - device is not readable");
        return false;
    }
    QTextStream stream(&device);
    if (codec != nullptr) {
        stream.setCodec(codec);
    }
    RowSplitter splitter(separator, textDelimiter);
    while (!stream.atEnd()) {
        QString line = stream.readLine();
        processor.preProcessRawLine(line);
        if (splitter.feed(line) && !processor.processRowElements(splitter.takeRow())) {
            return true;
        }
    }
    if (splitter.hasOpenRow()) {
        processor.processRowElements(splitter.takeRow());
    }
    return true;
}

bool readFile(const QString& filePath, Reader::AbstractProcessor& processor, const QString& separator,
              const QString& textDelimiter, QTextCodec* codec) {
    if (!checkFile(filePath)) {
        return false;
    }
    QFile file(filePath);
    if (!openFile(file)) {
        return false;
    }
    return read(file, processor, separator, textDelimiter, codec);
}

// Appends rows to a table only once the whole input was read.
class ReadToDataProcessor : public Reader::AbstractProcessor {
public:
    bool processRowElements(const QStringList& elements) override {
        rows.append(elements);
        return true;
    }

    QList<QStringList> rows;
};

void appendRows(AbstractData& data, const QList<QStringList>& rows) {
    for (const auto& row : rows) {
        data.addRow(row);
    }
}

}  // namespace

void Reader::AbstractProcessor::preProcessRawLine(QString&) {}

bool ReadToListProcessor::processRowElements(const QStringList& elements) {
    data.append(elements);
    return true;
}

QList<QStringList> Reader::readToList(const QString& filePath, const QString& separator,
                                      const QString& textDelimiter, QTextCodec* codec) {
    ReadToListProcessor processor;
    if (!readFile(filePath, processor, separator, textDelimiter, codec)) {
        return QList<QStringList>();
    }
    return processor.data;
}

QList<QStringList> Reader::readToList(QIODevice& ioDevice, const QString& separator, const QString& textDelimiter,
                                      QTextCodec* codec) {
    ReadToListProcessor processor;
    if (!read(ioDevice, processor, separator, textDelimiter, codec)) {
        return QList<QStringList>();
    }
    return processor.data;
}

bool Reader::readToData(const QString& filePath, AbstractData& data, const QString& separator,
                        const QString& textDelimiter, QTextCodec* codec) {
    ReadToDataProcessor processor;
    if (!readFile(filePath, processor, separator, textDelimiter, codec)) {
        return false;
    }
    appendRows(data, processor.rows);
    return true;
}

bool Reader::readToData(QIODevice& ioDevice, AbstractData& data, const QString& separator,
                        const QString& textDelimiter, QTextCodec* codec) {
    ReadToDataProcessor processor;
    if (!read(ioDevice, processor, separator, textDelimiter, codec)) {
        return false;
    }
    appendRows(data, processor.rows);
    return true;
}

bool Reader::readToProcessor(const QString& filePath, AbstractProcessor& processor, const QString& separator,
                             const QString& textDelimiter, QTextCodec* codec) {
    return readFile(filePath, processor, separator, textDelimiter, codec);
}

bool Reader::readToProcessor(QIODevice& ioDevice, AbstractProcessor& processor, const QString& separator,
                             const QString& textDelimiter, QTextCodec* codec) {
    return read(ioDevice, processor, separator, textDelimiter, codec);
}

}  // namespace QtCSV
