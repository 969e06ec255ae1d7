#pragma once
// Command line and image file names of kolm.

#include <QString>
#include <QStringList>

class Main {
public:
    static QString productName;
    static QString droneName;
    static QString posFileName;
    static QString mode;
    // File-name prefixes of cameras 1 to 5.
    static const QStringList _prefix;

    // Parses the arguments (the program name first) into the members above.
    // False when the program is to end at once with exitCode (help, version,
    // fewer than three positional arguments, a bad option).
    static bool process_cml(const QStringList& arguments, int& exitCode);

    // <prefix>_<number from the POS file name>_<group>.JPG; empty for a camera outside 1-5.
    static QString get_file_name(int camera, int group);
};
