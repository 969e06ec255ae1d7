#include "qtcsv/reader.h"
#include "qtcsv/string_data.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <string>
#include <vector>

// Readable QString values in failure messages.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

using Rows = QList<QStringList>;

// Collects the debug messages that the reader writes.
std::vector<std::string> gMessages;

void collect(QtMsgType, const QMessageLogContext&, const QString& text) { gMessages.push_back(text.toStdString()); }

class CsvReader : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        gMessages.clear();
        previous_ = qInstallMessageHandler(collect);
    }
    void TearDown() override { qInstallMessageHandler(previous_); }

    QString write(const QString& name, const QByteArray& content) {
        const QString path = dir_.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return path;
    }

    Rows readText(const QByteArray& content, const QString& separator = ",", const QString& delimiter = "\"") {
        return QtCSV::Reader::readToList(write("t.csv", content), separator, delimiter);
    }

    bool logged(const std::string& text) const {
        for (const auto& m : gMessages) {
            if (m == text) {
                return true;
            }
        }
        return false;
    }

    QTemporaryDir dir_;
    QtMessageHandler previous_ = nullptr;
};

}  // namespace

TEST_F(CsvReader, SplitsLinesIntoElements) {
    struct Case {
        const char* text;
        Rows rows;
    };
    const std::vector<Case> cases = {
        {"a,b,c\n", {{"a", "b", "c"}}},
        {"1,\"a,b\",3\n", {{"1", "a,b", "3"}}},
        {"\"say \"\"hi\"\"\",x\n", {{"say \"hi\"", "x"}}},
        {"x,\"\"\n", {{"x", ""}}},
        {"\"\"\"\"\n", {{"\""}}},
        {"a,,b,\n", {{"a", "", "b", ""}}},
        {"a\n\nb\n", {{"a"}, {""}, {"b"}}},
        {"a,b\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}},
        {"a,b", {{"a", "b"}}},
        // a delimiter that does not open the element stays part of it
        {"ab\"c,d\n", {{"ab\"c", "d"}}},
        // a blank after the closing delimiter keeps the element open to the end;
        // cleaning then drops the blank with the delimiters
        {"\"q\" \n", {{"q"}}},
        {"\"q\" ,x\n", {{"\"q\" ,x"}}},
        {"1,\"line one\nline two\",3\n4\n", {{"1", "line one\nline two", "3"}, {"4"}}},
        {"\"a\"\"\",b\n", {{"a\"", "b"}}},
        // still open at the end of the input: handed over as it is
        {"x,\"open\nmore", {{"x", "\"open\nmore"}}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readText(c.text), c.rows) << "input: " << c.text;
    }
}

TEST_F(CsvReader, OtherSeparatorsAndDelimiters) {
    EXPECT_EQ(readText("a;\"b;c\";d\n", ";"), (Rows{{"a", "b;c", "d"}}));
    EXPECT_EQ(readText("a::b::'c::d'\n", "::", "'"), (Rows{{"a", "b", "c::d"}}));
    // without a text delimiter quotes are plain text
    EXPECT_EQ(readText("\"a,b\"\n", ",", ""), (Rows{{"\"a", "b\""}}));
    EXPECT_EQ(readText("\xE5\x8C\x97,\xC3\xA9\n"), (Rows{{QString::fromUtf8("\xE5\x8C\x97"), QString::fromUtf8("\xC3\xA9")}}));
    // a byte-order mark does not become part of the first header name
    EXPECT_EQ(readText("\xEF\xBB\xBFId,Lat\n"), (Rows{{"Id", "Lat"}}));
}

TEST_F(CsvReader, RefusesBadPathsAndParameters) {
    const QString good = write("pos.txt", "a,b\n");
    QtCSV::StringData data;
    EXPECT_TRUE(QtCSV::Reader::readToData(good, data));
    EXPECT_EQ(data.rowCount(), 1);

    // a relative path is refused even when it names an existing file
    const QString previousDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    QtCSV::StringData relative;
    EXPECT_FALSE(QtCSV::Reader::readToData("pos.txt", relative));
    QDir::setCurrent(previousDir);
    EXPECT_TRUE(relative.isEmpty());
    EXPECT_TRUE(logged("CheckFile: Error - wrong file path: pos.txt"));

    EXPECT_FALSE(QtCSV::Reader::readToData("", data));
    EXPECT_TRUE(logged("CheckFile: Error - file path is empty"));
    EXPECT_FALSE(QtCSV::Reader::readToData(dir_.path(), data));
    EXPECT_FALSE(QtCSV::Reader::readToData(dir_.filePath("missing.csv"), data));
    EXPECT_TRUE(logged("CheckFile: Error - wrong file path: " + dir_.filePath("missing.csv").toStdString()));
    EXPECT_FALSE(QtCSV::Reader::readToData(good, data, ""));
    EXPECT_TRUE(logged("checkParams: Error - separator could not be empty"));
    EXPECT_TRUE(QtCSV::Reader::readToList(dir_.filePath("missing.csv")).isEmpty());
    // failed reads add nothing
    EXPECT_EQ(data.rowCount(), 1);

    QBuffer closed;
    EXPECT_FALSE(QtCSV::Reader::readToData(closed, data));
    EXPECT_EQ(data.rowCount(), 1);
}

TEST_F(CsvReader, ReadsToDataAppendingAndFromDevices) {
    QtCSV::StringData data;
    data.addRow("existing");
    EXPECT_TRUE(QtCSV::Reader::readToData(write("t.csv", "a,b\nc\n"), data));
    EXPECT_EQ(data.rowCount(), 3);
    EXPECT_EQ(data.rowValues(0), QStringList{"existing"});
    EXPECT_EQ(data.rowValues(2), QStringList{"c"});

    QByteArray bytes("x,\"y\nz\",w\n");
    QBuffer buffer(&bytes);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    EXPECT_EQ(QtCSV::Reader::readToList(buffer), (Rows{{"x", "y\nz", "w"}}));
}

TEST_F(CsvReader, ProcessorSeesRawLinesAndCanStop) {
    class Upper : public QtCSV::Reader::AbstractProcessor {
    public:
        void preProcessRawLine(QString& line) override { line = line.toUpper(); }
        bool processRowElements(const QStringList& elements) override {
            rows.append(elements);
            return rows.size() < 2;
        }
        Rows rows;
    };
    Upper processor;
    EXPECT_TRUE(QtCSV::Reader::readToProcessor(write("t.csv", "a,b\nc\nd\n"), processor));
    EXPECT_EQ(processor.rows, (Rows{{"A", "B"}, {"C"}}));
}

TEST(StringData, RowOperations) {
    QtCSV::StringData data;
    EXPECT_TRUE(data.isEmpty());
    data << QStringList{"a", "b"} << QString("c");
    data.addEmptyRow();
    EXPECT_EQ(data.rowCount(), 3);
    EXPECT_EQ(data.rowValues(1), QStringList{"c"});
    EXPECT_TRUE(data.rowValues(2).isEmpty());
    EXPECT_TRUE(data.rowValues(3).isEmpty());
    EXPECT_TRUE(data.rowValues(-1).isEmpty());

    data.insertRow(0, "first");
    data.insertRow(99, QStringList{"last"});
    data.insertRow(-5, "front");
    EXPECT_EQ(data.rowValues(0), QStringList{"front"});
    EXPECT_EQ(data.rowValues(1), QStringList{"first"});
    EXPECT_EQ(data.rowValues(data.rowCount() - 1), QStringList{"last"});

    data.replaceRow(1, QStringList{"x", "y"});
    data.replaceRow(42, "ignored");
    EXPECT_EQ(data.rowValues(1), (QStringList{"x", "y"}));
    const int before = data.rowCount();
    data.removeRow(before);
    data.removeRow(-1);
    EXPECT_EQ(data.rowCount(), before);
    data.removeRow(0);
    EXPECT_EQ(data.rowValues(0), (QStringList{"x", "y"}));

    QtCSV::StringData copy = data;
    EXPECT_TRUE(copy == data);
    copy.replaceRow(0, "changed");
    EXPECT_TRUE(copy != data);
    data.reserve(10);
    data.clear();
    EXPECT_TRUE(data.isEmpty());
    EXPECT_EQ(data.rowCount(), 0);
}
