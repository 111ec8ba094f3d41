#include "portcofigxml.h"

#include "burnstate.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const char *const kFile = "config_port.xml";

// Each test runs in an empty working directory with a fresh burn state and
// records the warnings instead of showing them.
class PortStore : public testing::Test {
  protected:
    void SetUp() override {
        mOldDir = QDir::currentPath();
        QDir::setCurrent(mDir.path());
        resetBurnState();
        mOldHook = PortCofigXml::warningHook;
        PortCofigXml::warningHook = [this](const QString &title, const QString &text) {
            warnings << title + "|" + text;
        };
    }
    void TearDown() override {
        PortCofigXml::warningHook = mOldHook;
        QDir::setCurrent(mOldDir);
        resetBurnState();
    }
    static QByteArray fileText() {
        QFile f(kFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    static void writeFile(const QByteArray &bytes) {
        QFile f(kFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QStringList warnings;

  private:
    QTemporaryDir mDir;
    QString mOldDir;
    std::function<void(const QString &, const QString &)> mOldHook;
};

} // namespace

TEST_F(PortStore, FirstStartCreatesNoneSlotsAndAnAssignmentAfterResetKeepsTheRestEmpty) {
    PortCofigXml store;
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><port_configs>";
    EXPECT_EQ(fileText(),
              head + QByteArray("<port_path>none</port_path>").repeated(8) + "</port_configs>\n");
    // The window's reset: no file, every slot empty.
    QFile::remove(kFile);
    for (PortInfo &p : gPortInfo)
        p.portPath = QString();
    store.setPortPath(0, "hc(RootHub)-port2(hub)-port1");
    EXPECT_EQ(fileText(), head + "<port_path>hc(RootHub)-port2(hub)-port1</port_path>" +
                              QByteArray("<port_path></port_path>").repeated(7) +
                              "</port_configs>\n");
    EXPECT_TRUE(warnings.isEmpty());
}

TEST_F(PortStore, ReReadBeforeWritingKeepsAnotherWritersSlot) {
    for (PortInfo &p : gPortInfo)
        p.portPath = "memory";
    // Three elements at any depth: slots 0..2 from the file, the rest kept.
    writeFile("<root><port_path>a</port_path><g><port_path>b &amp; c</port_path></g>"
              "<port_path/></root>");
    PortCofigXml store;
    EXPECT_EQ(gPortInfo[1].portPath.get(), "b & c");
    EXPECT_EQ(gPortInfo[2].portPath.get(), "");
    EXPECT_EQ(gPortInfo[3].portPath.get(), "memory");

    store.setPortPath(2, "two");
    QByteArray edited = fileText();
    edited.replace("<port_path>memory</port_path><port_path>memory</port_path><port_path>",
                   "<port_path>memory</port_path><port_path>memory</port_path><port_path>5!");
    writeFile(edited);
    store.setPortPath(3, "<three>");
    EXPECT_EQ(gPortInfo[5].portPath.get(), "5!memory");
    EXPECT_TRUE(fileText().contains("<port_path>two</port_path><port_path>&lt;three&gt;<"));
}

TEST_F(PortStore, OnlyEightSlotsFromOversizedOrBrokenFiles) {
    QByteArray many = "<port_configs>";
    for (int i = 0; i < 1000; ++i)
        many += "<port_path>p" + QByteArray::number(i) + "</port_path>";
    writeFile(many + "</port_configs>");
    PortCofigXml store;
    EXPECT_EQ(gPortInfo[7].portPath.get(), "p7");
    store.setPortPath(0, "first");
    EXPECT_EQ(fileText().count("<port_path>"), 8);

    // Broken part way: the slots read before the error are taken.
    writeFile("<port_configs><port_path>n0</port_path><port_path>n1</port_pa");
    EXPECT_TRUE(store.readPortPaths());
    EXPECT_EQ(gPortInfo[0].portPath.get(), "n0");
    EXPECT_EQ(gPortInfo[2].portPath.get(), "p2");
}

TEST_F(PortStore, UnwritableFileWarnsAndKeepsTheAssignmentInMemory) {
    // A directory in the file's place cannot be opened, not even by root.
    ASSERT_TRUE(QDir().mkdir(kFile));
    PortCofigXml store;
    store.setPortPath(3, "port3");
    EXPECT_EQ(gPortInfo[3].portPath.get(), "port3");
    EXPECT_EQ(warnings, QStringList({"Read only|The file is in read only mode"}));
}
