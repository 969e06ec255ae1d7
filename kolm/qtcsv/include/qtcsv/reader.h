#pragma once
// Reads CSV text into rows of elements. An element that begins with the text
// delimiter may hold separators, doubled delimiters and line ends.
// Failures are logged as debug messages and reported by a false or empty result.

#include "qtcsv/abstract_data.h"

#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTextCodec>

namespace QtCSV {

class Reader {
public:
    class AbstractProcessor {
    public:
        virtual ~AbstractProcessor() = default;
        // May change each raw line before it is split.
        virtual void preProcessRawLine(QString& line);
        // One finished row; false stops the reading.
        virtual bool processRowElements(const QStringList& elements) = 0;
    };

    // The file path must be absolute and name an existing file.
    static QList<QStringList> readToList(const QString& filePath, const QString& separator = QString(","),
                                         const QString& textDelimiter = QString("\""),
                                         QTextCodec* codec = QTextCodec::codecForName("UTF-8"));
    static QList<QStringList> readToList(QIODevice& ioDevice, const QString& separator = QString(","),
                                         const QString& textDelimiter = QString("\""),
                                         QTextCodec* codec = QTextCodec::codecForName("UTF-8"));

    // Appends the rows to data.
    static bool readToData(const QString& filePath, AbstractData& data, const QString& separator = QString(","),
                           const QString& textDelimiter = QString("\""),
                           QTextCodec* codec = QTextCodec::codecForName("UTF-8"));
    static bool readToData(QIODevice& ioDevice, AbstractData& data, const QString& separator = QString(","),
                           const QString& textDelimiter = QString("\""),
                           QTextCodec* codec = QTextCodec::codecForName("UTF-8"));

    static bool readToProcessor(const QString& filePath, AbstractProcessor& processor,
                                const QString& separator = QString(","), const QString& textDelimiter = QString("\""),
                                QTextCodec* codec = QTextCodec::codecForName("UTF-8"));
    static bool readToProcessor(QIODevice& ioDevice, AbstractProcessor& processor,
                                const QString& separator = QString(","), const QString& textDelimiter = QString("\""),
                                QTextCodec* codec = QTextCodec::codecForName("UTF-8"));
};

// Collects the rows into a list.
class ReadToListProcessor : public Reader::AbstractProcessor {
public:
    bool processRowElements(const QStringList& elements) override;

    QList<QStringList> data;
};

}  // namespace QtCSV
