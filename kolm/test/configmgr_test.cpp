#include "kolm/configmgr.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

class OffsetTable : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        previous_ = qInstallMessageHandler(quiet);
    }
    void TearDown() override { qInstallMessageHandler(previous_); }

    QString write(const QByteArray& content) {
        const QString path = dir_.filePath("offset.csv");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return path;
    }

    QTemporaryDir dir_;
    QtMessageHandler previous_ = nullptr;
};

const QByteArray kHeader = "Name,Type,Drone,downToPos.x,downToPos.y,downToPos.z,frontToDown.x,frontToDown.y,frontToDown.z\n";

}  // namespace

TEST_F(OffsetTable, FindsTheFirstRowOfNameAndDrone) {
    const ConfigMgr config(write(kHeader +
                                 "P1,5,D1,0.1,0.2,0.3,1,2,3\n"
                                 "P1,3,D2,4,5,6,7,8,9\n"
                                 "\"Rig, large\",5.2,D1,-1,-2,-3,x,,1e-2\n"
                                 "P1,1,D1,9,9,9,9,9,9\n"));
    ConfigMgr::offset o;
    ASSERT_EQ(config.GetOffset("P1", "D1", o), 0);
    EXPECT_EQ(o.model, "5");
    EXPECT_FLOAT_EQ(o.down2pos[0], 0.1f);
    EXPECT_FLOAT_EQ(o.down2pos[2], 0.3f);
    EXPECT_FLOAT_EQ(o.front2down[1], 2);

    ASSERT_EQ(config.GetOffset("P1", "D2", o), 0);
    EXPECT_EQ(o.model, "3");
    EXPECT_FLOAT_EQ(o.front2down[2], 9);

    ASSERT_EQ(config.GetOffset("Rig, large", "D1", o), 0);
    EXPECT_EQ(o.model, "5.2");
    EXPECT_FLOAT_EQ(o.down2pos[1], -2);
    // text that is not a number reads 0
    EXPECT_EQ(o.front2down[0], 0);
    EXPECT_EQ(o.front2down[1], 0);
    EXPECT_FLOAT_EQ(o.front2down[2], 0.01f);

    EXPECT_EQ(config.GetOffset("p1", "D1", o), -1);
    EXPECT_EQ(config.GetOffset("P1", "D3", o), -1);
    EXPECT_EQ(config.GetOffset("P1 ", "D1", o), -1);
}

TEST_F(OffsetTable, ColumnsInAnyOrderAmongOthers) {
    const ConfigMgr config(write("Notes,frontToDown.z,frontToDown.y,frontToDown.x,downToPos.z,downToPos.y,downToPos.x,"
                                 "Drone,Type,Name\n"
                                 "n,3,2,1,30,20,10,D1,5.1,P1\n"));
    ConfigMgr::offset o;
    ASSERT_EQ(config.GetOffset("P1", "D1", o), 0);
    EXPECT_EQ(o.model, "5.1");
    EXPECT_EQ(o.down2pos[0], 10);
    EXPECT_EQ(o.front2down[0], 1);
    EXPECT_EQ(o.front2down[2], 3);
}

TEST_F(OffsetTable, IncompleteTablesFindNothing) {
    ConfigMgr::offset o;
    // no Type column
    const ConfigMgr noType(write("Name,Drone,downToPos.x,downToPos.y,downToPos.z,frontToDown.x,frontToDown.y,"
                                 "frontToDown.z\nP1,D1,1,2,3,4,5,6\n"));
    EXPECT_EQ(noType.GetOffset("P1", "D1", o), -1);

    // a matching row shorter than the header is not read; a later full one is
    const ConfigMgr shortRow(write(kHeader + "P1,5,D1,1,2\nP1,3,D1,1,2,3,4,5,6\n"));
    ASSERT_EQ(shortRow.GetOffset("P1", "D1", o), 0);
    EXPECT_EQ(o.model, "3");
    const ConfigMgr onlyShort(write(kHeader + "P1,5,D1\n"));
    EXPECT_EQ(onlyShort.GetOffset("P1", "D1", o), -1);

    const ConfigMgr missing(dir_.filePath("none.csv"));
    EXPECT_EQ(missing.GetOffset("P1", "D1", o), -1);
    const ConfigMgr empty(write(""));
    EXPECT_EQ(empty.GetOffset("P1", "D1", o), -1);
    const ConfigMgr headerOnly(write(kHeader));
    EXPECT_EQ(headerOnly.GetOffset("P1", "D1", o), -1);
}
