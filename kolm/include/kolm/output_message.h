#pragma once
// Message handler of kolm: every message is appended to "log.txt" in the
// working directory as "(yyyy-MM-dd hh:mm:ss )[Level] text" and "\r\n";
// nothing goes to the console. A fatal message ends the process with a
// failure status right after it is written.

#include <QString>
#include <QtGlobal>

void outputMessage(QtMsgType type, const QMessageLogContext& context, const QString& message);
