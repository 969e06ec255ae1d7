#include "kolm/output_message.h"

#include <QDateTime>
#include <QFile>

#include <cstdlib>
#include <mutex>

namespace {

const char* levelText(QtMsgType type) {
    switch (type) {
        case QtDebugMsg: return "Debug";
        case QtWarningMsg: return "Warning";
        case QtCriticalMsg: return "Critical";
        case QtFatalMsg: return "Fatal";
        case QtInfoMsg: return "Info";
    }
    return "Info";
}

}  // namespace

void outputMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    {
        static std::mutex mutex;
        std::lock_guard<std::mutex> lock(mutex);
        const QString date = QString("(%1)").arg(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss "));
        const QString line = QString("%1[%2] %3").arg(date, QString(levelText(type)), message);
        QFile file("log.txt");
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            file.write(line.toUtf8());
            file.write("\r\n");
            file.flush();
            file.close();
        }
    }
    if (type == QtFatalMsg) {
        std::_Exit(EXIT_FAILURE);
    }
}
