#include "kolm/main.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

#include <cstdio>

QString Main::productName;
QString Main::droneName;
QString Main::posFileName;
QString Main::mode;
const QStringList Main::_prefix = {"Q", "Y", "X", "H", "Z"};

namespace {

void print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

}  // namespace

bool Main::process_cml(const QStringList& arguments, int& exitCode) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Norra Image Position Calculator");
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addPositionalArgument("Name", QCoreApplication::translate("main", "Product Name"));
    parser.addPositionalArgument("Drone", QCoreApplication::translate("main", "Drone Name"));
    parser.addPositionalArgument("pos_file/kv", QCoreApplication::translate("main", "Input pos_file/kv for simple calc"));
    const QCommandLineOption modeOption(QStringList{"m", "mode"},
                                        QCoreApplication::translate("main", "mode = file/kv; default is file"),
                                        "mode", "file");
    parser.addOption(modeOption);

    if (!parser.parse(arguments)) {
        print(stderr, QCoreApplication::applicationName() + ": " + parser.errorText() + "\n");
        exitCode = 1;
        return false;
    }
    if (parser.isSet(helpOption) || parser.isSet("help-all")) {
        print(stdout, parser.helpText());
        exitCode = 0;
        return false;
    }
    if (parser.isSet(versionOption)) {
        print(stdout, QCoreApplication::applicationName() + " " + QCoreApplication::applicationVersion() + "\n");
        exitCode = 0;
        return false;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() < 3) {
        print(stdout, parser.helpText());
        exitCode = 0;
        return false;
    }
    productName = positional.at(0);
    droneName = positional.at(1);
    posFileName = positional.at(2);
    mode = parser.value(modeOption);
    qDebug().noquote() << "input mode is:" << mode;
    return true;
}

QString Main::get_file_name(int camera, int group) {
    if (camera < 1 || camera > _prefix.size()) {
        return QString();
    }
    QString last = QFileInfo(posFileName).baseName().split("_").last();
    if (!last.isEmpty() && !(last.at(0) >= '0' && last.at(0) <= '9')) {
        last.remove(0, 1);
    }
    bool ok = false;
    int number = last.toInt(&ok, 10);
    if (!ok) {
        number = 0;
    }
    return QString::asprintf("%s_%03d_%05d.JPG", qPrintable(_prefix.at(camera - 1)), number, group);
}
