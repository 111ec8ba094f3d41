// A burn record as a row of the burns table, the same for the station's store
// and the line's server: one value per column, no NULL where the columns are
// NOT NULL, and NULLs that keep their type where a success has no failure.
#include <gtest/gtest.h>

#include "burnrecord.h"

namespace {

// As the SQL drivers bind it: a null text is NULL too.
bool boundAsNull(const QVariant &v) {
    return v.isNull() || (v.typeId() == QMetaType::QString && v.toString().isNull());
}

} // namespace

TEST(BurnRecord, ColumnValuesMatchTheColumnsWithTypedNulls) {
    BurnRecord r; // every text left null, as a burn without a package leaves them
    r.port = 4;
    r.startedAt = QDateTime(QDate(2026, 12, 8), QTime(6, 0), Qt::UTC);
    r.endedAt = r.startedAt.addSecs(50);
    r.success = true;
    r.failStep = 7;
    r.failText = QStringLiteral("left over");
    const QStringList names = BurnRecord::columnNames();
    QVariantList values = r.columnValues();
    ASSERT_EQ(values.size(), names.size());
    EXPECT_EQ(names.last(), QStringLiteral("log_lines"));
    EXPECT_EQ(BurnRecord::columnNames(false), names.mid(0, names.size() - 1));

    const int failStep = int(names.indexOf(QStringLiteral("fail_step")));
    const int failText = int(names.indexOf(QStringLiteral("fail_text")));
    for (int i = 0; i < values.size(); ++i) {
        if (i == failStep || i == failText) continue;
        EXPECT_FALSE(boundAsNull(values[i])) << names[i].toStdString();
    }
    EXPECT_EQ(values[names.indexOf(QStringLiteral("port"))].toInt(), 4);
    EXPECT_EQ(values[names.indexOf(QStringLiteral("result"))].toString(), "success");
    EXPECT_TRUE(values[failStep].isNull());
    EXPECT_EQ(values[failStep].metaType(), QMetaType::fromType<int>());
    EXPECT_TRUE(values[failText].isNull());
    EXPECT_EQ(values[failText].metaType(), QMetaType::fromType<QString>());

    // A failure with no text still names its step; its text is '' not NULL.
    r.success = false;
    r.failText = QString();
    r.logLines = {QStringLiteral("a"), QStringLiteral("b")};
    values = r.columnValues();
    EXPECT_EQ(values[failStep].toInt(), 7);
    EXPECT_FALSE(boundAsNull(values[failText]));
    EXPECT_EQ(values.last().toString(), QStringLiteral("a\nb"));
}
