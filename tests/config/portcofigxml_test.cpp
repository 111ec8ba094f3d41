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
        ASSERT_TRUE(mDir.isValid());
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
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    static void writeFile(const QByteArray &bytes) {
        QFile f(kFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    static QByteArray document(const QList<QByteArray> &values) {
        QByteArray text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><port_configs>";
        for (const QByteArray &s : values)
            text += s.isEmpty() ? "<port_path></port_path>" : "<port_path>" + s + "</port_path>";
        return text + "</port_configs>\n";
    }
    // The reset command of the window: no file, every slot empty.
    static void resetMatches() {
        QFile::remove(kFile);
        for (PortInfo &p : gPortInfo) {
            p.portPath = QString();
            p.status = PORT_STATUS_NONE;
        }
    }

    QStringList warnings;

  private:
    QTemporaryDir mDir;
    QString mOldDir;
    std::function<void(const QString &, const QString &)> mOldHook;
};

} // namespace

TEST_F(PortStore, FirstStartCreatesEightNoneSlotsThenResetAndOneAssignment) {
    PortCofigXml store;
    const QByteArray none = "none";
    EXPECT_EQ(fileText(), document({none, none, none, none, none, none, none, none}));
    for (const PortInfo &p : gPortInfo)
        EXPECT_EQ(p.portPath.get(), "none");

    resetMatches();
    store.setPortPath(0, "hc(RootHub)-port2(hub)-port1");
    EXPECT_EQ(fileText(), document({"hc(RootHub)-port2(hub)-port1", "", "", "", "", "", "", ""}));
    EXPECT_TRUE(warnings.isEmpty());
}

TEST_F(PortStore, ExistingFileFillsSlotsInDocumentOrder) {
    for (PortInfo &p : gPortInfo)
        p.portPath = "memory";
    // Three elements at various depths, with other elements around them.
    writeFile("<?xml version=\"1.0\"?><root><port_path>a</port_path><other>x</other>"
              "<group><port_path> b &amp; c </port_path></group><port_path/></root>");
    PortCofigXml store;
    EXPECT_EQ(gPortInfo[0].portPath.get(), "a");
    EXPECT_EQ(gPortInfo[1].portPath.get(), " b & c ");
    EXPECT_EQ(gPortInfo[2].portPath.get(), "");
    for (int i = 3; i < PORT_COUNT; ++i)
        EXPECT_EQ(gPortInfo[i].portPath.get(), "memory") << i;
    // Loading an existing file does not rewrite it.
    EXPECT_TRUE(fileText().startsWith("<?xml version=\"1.0\"?><root>"));
}

TEST_F(PortStore, SetPortPathKeepsAnotherWritersSlot) {
    PortCofigXml store;
    writeFile(document({"p0", "p1", "p2", "p3", "p4", "edited elsewhere", "p6", "p7"}));
    store.setPortPath(2, "new & <two>");
    EXPECT_EQ(gPortInfo[5].portPath.get(), "edited elsewhere");
    // Special characters are escaped on the way out and read back intact.
    EXPECT_TRUE(fileText().contains("<port_path>new &amp; &lt;two&gt;</port_path>"));
    gPortInfo[2].portPath = "scratch";
    ASSERT_TRUE(store.readPortPaths());
    EXPECT_EQ(gPortInfo[2].portPath.get(), "new & <two>");
    EXPECT_EQ(gPortInfo[5].portPath.get(), "edited elsewhere");

    // No slot outside 0..7: nothing changes.
    const QByteArray before = fileText();
    store.setPortPath(8, "x");
    store.setPortPath(-1, "x");
    EXPECT_EQ(fileText(), before);
}

TEST_F(PortStore, OversizedAndBrokenFilesTouchOnlyEightSlots) {
    QByteArray many = "<port_configs>";
    for (int i = 0; i < 1000; ++i)
        many += "<port_path>p" + QByteArray::number(i) + "</port_path>";
    writeFile(many + "</port_configs>");
    PortCofigXml store;
    for (int i = 0; i < PORT_COUNT; ++i)
        EXPECT_EQ(gPortInfo[i].portPath.get(), QStringLiteral("p%1").arg(i));
    // Writing it back keeps exactly eight elements.
    store.setPortPath(7, "last");
    EXPECT_EQ(fileText().count("<port_path>"), 8);

    // Broken part way: the values read before the error are taken.
    for (PortInfo &p : gPortInfo)
        p.portPath = "old";
    writeFile("<port_configs><port_path>n0</port_path><port_path>n1</port_pa");
    EXPECT_TRUE(store.readPortPaths());
    EXPECT_EQ(gPortInfo[0].portPath.get(), "n0");
    EXPECT_EQ(gPortInfo[2].portPath.get(), "old");

    writeFile(QByteArray("\x00\x01garbage<<>>", 12));
    EXPECT_TRUE(store.readPortPaths());
    EXPECT_EQ(gPortInfo[0].portPath.get(), "n0");
}

TEST_F(PortStore, UnwritableFileWarnsAndKeepsTheAssignmentInMemory) {
    // A directory in the file's place cannot be opened for writing, not even
    // by root.
    ASSERT_TRUE(QDir().mkdir(kFile));
    PortCofigXml store;
    EXPECT_FALSE(store.readPortPaths());
    store.setPortPath(3, "port3");
    EXPECT_EQ(gPortInfo[3].portPath.get(), "port3");
    EXPECT_EQ(warnings, QStringList({"Read only|The file is in read only mode"}));
}
