#include "macrangestore.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class SettingsFile : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(mDir.isValid());
        mOldDir = QDir::currentPath();
        QDir::setCurrent(mDir.path());
    }
    void TearDown() override { QDir::setCurrent(mOldDir); }

    static void writeIni(const QByteArray &text) {
        QFile f(Settings::FILE_NAME);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

  private:
    QTemporaryDir mDir;
    QString mOldDir;
};

} // namespace

TEST_F(SettingsFile, DefaultsWithoutFileOrKeys) {
    EXPECT_TRUE(Settings::eraseEnabled());
    EXPECT_EQ(Settings::eraseCommand(), "nand_erase");
    EXPECT_EQ(Settings::language(), "cn");
    writeIni("[Other]\nkey=1\n");
    EXPECT_TRUE(Settings::eraseEnabled());
    EXPECT_EQ(Settings::eraseCommand(), "nand_erase");
    EXPECT_EQ(Settings::language(), "cn");
}

TEST_F(SettingsFile, ReadsStoredValues) {
    writeIni("lanuage=en\n[Erase]\nenable=false\nerasecmd=mmc erase 0 100\n");
    EXPECT_FALSE(Settings::eraseEnabled());
    EXPECT_EQ(Settings::eraseCommand(), "mmc erase 0 100");
    EXPECT_EQ(Settings::language(), "en");
}

TEST_F(SettingsFile, LanguageIsWrittenUnderItsOwnSpelling) {
    writeIni("[Erase]\nerasecmd=wipe\n");
    Settings::setLanguage("en");
    EXPECT_EQ(Settings::language(), "en");
    QFile f(Settings::FILE_NAME);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.contains("lanuage=en")) << text.constData();
    EXPECT_TRUE(text.contains("erasecmd=wipe")) << text.constData();
}

TEST_F(SettingsFile, UnusableFileGivesDefaultsAndForgetsTheLanguage) {
    ASSERT_TRUE(QDir().mkdir(Settings::FILE_NAME));
    EXPECT_TRUE(Settings::eraseEnabled());
    Settings::setLanguage("en");
    EXPECT_EQ(Settings::language(), "cn");
}

TEST(MacRangeStore, AttachesAndDetachesPerKind) {
    MacRangeStore &store = MacRangeStore::instance();
    EXPECT_EQ(&store, &MacRangeStore::instance());
    store.setFile(MacRangeStore::KIND_BT, MacRangeStore::rangeFileName(MacRangeStore::KIND_BT));
    EXPECT_EQ(store.file(MacRangeStore::KIND_BT), "mac_bt.ini");
    EXPECT_TRUE(store.file(MacRangeStore::KIND_ETHER).isEmpty());
    store.setFile(MacRangeStore::KIND_BT, QString());
    EXPECT_TRUE(store.file(MacRangeStore::KIND_BT).isEmpty());
    store.setFile(3, "x.ini");
    store.setFile(-1, "x.ini");
    EXPECT_TRUE(store.file(3).isEmpty());
    EXPECT_EQ(MacRangeStore::rangeFileName(MacRangeStore::KIND_WIFI), "mac_wifi.ini");
}
