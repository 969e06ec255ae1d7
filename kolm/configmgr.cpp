#include "kolm/configmgr.h"

#include "qtcsv/reader.h"

#include <QDebug>

#include <algorithm>

ConfigMgr::ConfigMgr(const QString& path) {
    QtCSV::Reader::readToData(path, _strData, ",", "\"", QTextCodec::codecForName("UTF-8"));
    const QStringList header = _strData.rowValues(0);
    _name = header.indexOf("Name");
    _type = header.indexOf("Type");
    _drone = header.indexOf("Drone");
    _down2pos_x = header.indexOf("downToPos.x");
    _down2pos_y = header.indexOf("downToPos.y");
    _down2pos_z = header.indexOf("downToPos.z");
    _front2down_x = header.indexOf("frontToDown.x");
    _front2down_y = header.indexOf("frontToDown.y");
    _front2down_z = header.indexOf("frontToDown.z");
}

int ConfigMgr::GetOffset(const QString& name, const QString& drone, offset& out) const {
    const int columns[] = {_name,       _type,       _drone,        _down2pos_x,  _down2pos_y,
                           _down2pos_z, _front2down_x, _front2down_y, _front2down_z};
    if (*std::min_element(std::begin(columns), std::end(columns)) < 0) {
        qDebug() << "GetOffset: the offset table lacks one of its columns";
        return -1;
    }
    const int needed = *std::max_element(std::begin(columns), std::end(columns)) + 1;
    for (int r = 1; r < _strData.rowCount(); ++r) {
        const QStringList row = _strData.rowValues(r);
        if (row.size() < needed) {
            qDebug() << "GetOffset: skipping short offset row" << r;
            continue;
        }
        if (row.at(_name) != name || row.at(_drone) != drone) {
            continue;
        }
        out.model = row.at(_type);
        out.down2pos[0] = row.at(_down2pos_x).toFloat();
        out.down2pos[1] = row.at(_down2pos_y).toFloat();
        out.down2pos[2] = row.at(_down2pos_z).toFloat();
        out.front2down[0] = row.at(_front2down_x).toFloat();
        out.front2down[1] = row.at(_front2down_y).toFloat();
        out.front2down[2] = row.at(_front2down_z).toFloat();
        return 0;
    }
    return -1;
}
