#pragma once
// The rig offset table: one row per product and drone with the rig type and
// the two lever-arm vectors.

#include "qtcsv/string_data.h"

#include <QString>

class ConfigMgr {
public:
    struct offset {
        QString Name;
        QString model;  // the row's Type text
        QString Drone;
        float down2pos[3] = {0, 0, 0};
        float front2down[3] = {0, 0, 0};
    };

    // Reads the table; an unreadable one finds nothing.
    explicit ConfigMgr(const QString& path);

    // Fills model, down2pos and front2down from the first row of name and drone:
    // 0 found, -1 not found (also for a table without one of the nine columns).
    int GetOffset(const QString& name, const QString& drone, offset& out) const;

private:
    QtCSV::StringData _strData;
    int _name = -1;
    int _type = -1;
    int _drone = -1;
    int _down2pos_x = -1;
    int _down2pos_y = -1;
    int _down2pos_z = -1;
    int _front2down_x = -1;
    int _front2down_y = -1;
    int _front2down_z = -1;
};
