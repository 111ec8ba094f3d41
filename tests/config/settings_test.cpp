#include "settings.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class SettingsFile : public testing::Test {
  protected:
    void SetUp() override {
        mOldDir = QDir::currentPath();
        QDir::setCurrent(mDir.path());
    }
    void TearDown() override { QDir::setCurrent(mOldDir); }

  private:
    QTemporaryDir mDir;
    QString mOldDir;
};

} // namespace

TEST_F(SettingsFile, DefaultsThenStoredValuesAndTheLanguageWrite) {
    EXPECT_TRUE(Settings::eraseEnabled());
    EXPECT_EQ(Settings::eraseCommand(), "nand_erase");
    EXPECT_EQ(Settings::language(), "cn");

    QFile f(Settings::FILE_NAME);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Erase]\nenable=false\nerasecmd=mmc erase 0 100\n");
    f.close();
    EXPECT_FALSE(Settings::eraseEnabled());
    EXPECT_EQ(Settings::eraseCommand(), "mmc erase 0 100");
    Settings::setLanguage("en");
    EXPECT_EQ(Settings::language(), "en");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    EXPECT_TRUE(text.contains("lanuage=en") && text.contains("erasecmd=mmc erase 0 100"))
        << text.constData();
}

TEST_F(SettingsFile, UnusableFileGivesDefaultsAndForgetsTheLanguage) {
    ASSERT_TRUE(QDir().mkdir(Settings::FILE_NAME));
    EXPECT_TRUE(Settings::eraseEnabled());
    Settings::setLanguage("en");
    EXPECT_EQ(Settings::language(), "cn");
}
