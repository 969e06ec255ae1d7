#pragma once
// Characters with a meaning in CSV text.

#include <QChar>

namespace QtCSV {

const QChar LF = QChar('\n');
const QChar CR = QChar('\r');
const QChar DOUBLE_QUOTE = QChar('"');

}  // namespace QtCSV
