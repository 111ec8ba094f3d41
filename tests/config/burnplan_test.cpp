#include "burnplan.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace {

// 01 00 00 00 02 00 00 00: size 8, word sum 3.
const QByteArray kSpl = QByteArray::fromHex("0100000002000000");

// A scratch directory holding a plan and the images it names.
class PlanDir {
  public:
    PlanDir() { EXPECT_TRUE(mDir.isValid()); }

    QString path(const QString &name) const { return mDir.filePath(name); }

    void write(const QString &name, const QByteArray &bytes) const {
        const QString full = path(name);
        QDir().mkpath(QFileInfo(full).absolutePath());
        QFile f(full);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    // Wraps the command elements in a document and reads it.
    std::unique_ptr<BurnPlan> plan(const QByteArray &commands,
                                   const QString &name = QStringLiteral("plan.xml")) const {
        write(name, "<?xml version=\"1.0\"?><plan>" + commands + "</plan>");
        return std::make_unique<BurnPlan>(path(name));
    }

  private:
    QTemporaryDir mDir;
};

// Runs a test body with the working directory set to dir.
class CurrentDir {
  public:
    explicit CurrentDir(const QString &dir) : mOld(QDir::currentPath()) { QDir::setCurrent(dir); }
    ~CurrentDir() { QDir::setCurrent(mOld); }

  private:
    QString mOld;
};

quint32 naiveSum(const QByteArray &bytes) {
    quint32 sum = 0;
    for (int i = 0; i < bytes.size(); ++i)
        sum += quint32(quint8(bytes[i])) << (8 * (i % 4));
    return sum;
}

} // namespace

TEST(BurnPlan, ReadsAFullPlanWithItsRewrites) {
    PlanDir dir;
    QFile::copy(QStringLiteral(CONFIG_TEST_DATA "/config_progress.xml"), dir.path("plan.xml"));
    dir.write("spl.bin", kSpl);
    dir.write("u-boot.bin", QByteArray::fromHex("100000002000"));                 // 6 bytes, 0x30
    dir.write("upgrade/update.img", QByteArray::fromHex("01000000010000000100")); // 10, 0x3
    dir.write("upgrade/patch.img", QByteArray::fromHex("ffffffff01"));            // 5, 0
    BurnPlan plan(dir.path("plan.xml"));

    ASSERT_TRUE(plan.loaded());
    EXPECT_EQ(plan.commandCount(), 10);
    EXPECT_EQ(plan.command(0).path(), dir.path("spl.bin"));
    EXPECT_EQ(plan.command(0).device(), "ram");
    EXPECT_EQ(plan.command(0).address(), "0x80000000");
    EXPECT_EQ(plan.command(0).run(), "true");
    EXPECT_EQ(plan.command(0).count(), "5");
    EXPECT_EQ(plan.command(2).offset(), "0");
    EXPECT_EQ(plan.command(2).filesize(), "6");
    // Check commands: untrimmed text kept, numbers of the record before.
    EXPECT_EQ(plan.command(1).command, "  crc -c 8 -s 3  ");
    EXPECT_EQ(plan.command(3).command, "crc -c 6 -s 30");
    EXPECT_EQ(plan.command(6).command, "crc -c 5 -s 0");
    // Windows separators in the plan are read as directories.
    EXPECT_EQ(plan.command(4).path(), dir.path("upgrade/update.img"));
    EXPECT_EQ(plan.resourceDir(), dir.path("upgrade"));
    EXPECT_EQ(plan.getResourcePath(), dir.path("upgrade"));
    // Two placeholders far apart: upgrade size, then patch size.
    EXPECT_EQ(plan.command(7).cmd(), "update:update.img:10#(prepare:patch.img:5#)");
    EXPECT_EQ(plan.command(9).command, "update:update.img");
    EXPECT_EQ(plan.command(9).cmd(), "upgrade");
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(plan.command(i).sn, i);
        EXPECT_TRUE(plan.command(i).parameters[8].isEmpty());
    }
    EXPECT_EQ(plan.command(10).sn, -1);
}

TEST(BurnPlan, CountsElementsAndFillsRecordsBySn) {
    PlanDir dir;
    // Three numbered elements and one without sn: four counted, the fourth
    // lands in record 0.
    auto plan = dir.plan("<command sn=\"0\">a</command><command sn=\"1\">b</command>"
                         "<command sn=\"2\">c</command><command>d</command>");
    EXPECT_EQ(plan->commandCount(), 4);
    EXPECT_EQ(plan->command(0).command, "d");
    EXPECT_EQ(plan->command(0).sn, 0);

    // Out of order, with a gap: the gap keeps an empty record.
    plan = dir.plan("<command sn=\"2\">c</command><command sn=\"0\">a</command>");
    EXPECT_EQ(plan->commandCount(), 2);
    EXPECT_EQ(plan->command(1).sn, -1);
    EXPECT_TRUE(plan->command(1).command.isEmpty());
    EXPECT_EQ(plan->command(2).command, "c");

    // Elements at any depth are taken, other names ignored; a record is
    // overwritten whole, so a missing attribute leaves an empty text.
    plan = dir.plan("<x><y><command sn=\"3\" run=\"true\" count=\"7\">deep</command></y></x>"
                    "<cmd sn=\"4\">no</cmd><command sn=\"3\" count=\"9\">again</command>");
    EXPECT_EQ(plan->commandCount(), 2);
    EXPECT_EQ(plan->command(3).command, "again");
    EXPECT_EQ(plan->command(3).count(), "9");
    EXPECT_TRUE(plan->command(3).run().isEmpty());
    EXPECT_EQ(plan->command(4).sn, -1);
}

TEST(BurnPlan, SnOutsideTheTableIsSkippedAndNotANumberIsZero) {
    PlanDir dir;
    auto plan = dir.plan("<command sn=\"-1\">neg</command>"
                         "<command sn=\"32\">past</command>"
                         "<command sn=\"4294967296\">wraps to zero in 32 bits</command>"
                         "<command sn=\"99999999999999999999999\">huge</command>"
                         "<command sn=\"31\">last</command>"
                         "<command sn=\"abc\">word</command>"
                         "<command sn=\"\">blank</command>");
    EXPECT_EQ(plan->commandCount(), 3);
    EXPECT_EQ(plan->command(31).command, "last");
    EXPECT_EQ(plan->command(0).command, "blank");
    for (int i = 1; i < 31; ++i)
        EXPECT_EQ(plan->command(i).sn, -1) << i;
    // Reads past either end give an empty record instead of running off.
    EXPECT_EQ(plan->command(-1).sn, -1);
    EXPECT_EQ(plan->command(32).sn, -1);
    EXPECT_TRUE(plan->command(1000).command.isEmpty());
}

TEST(BurnPlan, AttributesWithOddCharactersAreKeptAsText) {
    PlanDir dir;
    auto plan = dir.plan("<command sn=\"1\" cmd=\"a&amp;b &lt;c&gt; &quot;q&quot; \xe6\x95\xb0\" "
                         "path=\"..\\x y\\z.bin\">mmc write &amp; go</command>");
    EXPECT_EQ(plan->command(1).cmd(), QString::fromUtf8("a&b <c> \"q\" \xe6\x95\xb0"));
    EXPECT_EQ(plan->command(1).command, "mmc write & go");
    EXPECT_EQ(plan->command(1).path(), dir.path("../x y/z.bin"));
}

TEST(BurnPlan, BadFilesLeaveAPlanWithWhatWasRead) {
    PlanDir dir;
    BurnPlan missing(dir.path("absent.xml"));
    EXPECT_FALSE(missing.loaded());
    EXPECT_EQ(missing.commandCount(), 0);
    EXPECT_EQ(missing.command(0).sn, -1);

    // A directory by the plan's name is not a plan.
    QDir().mkpath(dir.path("dir.xml"));
    EXPECT_FALSE(BurnPlan(dir.path("dir.xml")).loaded());

    dir.write("empty.xml", "");
    BurnPlan empty(dir.path("empty.xml"));
    EXPECT_TRUE(empty.loaded());
    EXPECT_EQ(empty.commandCount(), 0);

    dir.write("binary.xml", QByteArray("\x00\xff\xfe garbage \x01", 13));
    EXPECT_EQ(BurnPlan(dir.path("binary.xml")).commandCount(), 0);

    // Cut off inside the third element: the first two stay.
    dir.write("cut.xml", "<plan><command sn=\"0\">a</command><command sn=\"1\">b</command>"
                         "<command sn=\"2\">c</comm");
    BurnPlan cut(dir.path("cut.xml"));
    EXPECT_TRUE(cut.loaded());
    EXPECT_EQ(cut.command(0).command, "a");
    EXPECT_EQ(cut.command(1).command, "b");

    // Many elements: all counted, the table never grows.
    QByteArray many = "<plan>";
    for (int i = 0; i < 20000; ++i)
        many += "<command sn=\"" + QByteArray::number(i % 40) + "\">step</command>";
    dir.write("many.xml", many + "</plan>");
    BurnPlan big(dir.path("many.xml"));
    EXPECT_EQ(big.commandCount(), 20000 / 40 * 32);
    EXPECT_EQ(big.command(31).command, "step");
}

TEST(BurnPlan, CheckCommandsTakeTheRecordBeforeByIndex) {
    PlanDir dir;
    dir.write("spl.bin", kSpl);
    dir.write("boot.bin", QByteArray::fromHex("0500000006000000")); // 8, 0xb
    dir.write("patch_a.bin", QByteArray::fromHex("07000000"));      // 4, 7
    // Record 4 (crc) follows record 3 (load uboot) by index even though a
    // load spl element comes between them in the file.
    auto plan = dir.plan("<command sn=\"3\" path=\"boot.bin\">load uboot</command>"
                         "<command sn=\"7\" path=\"spl.bin\">load spl</command>"
                         "<command sn=\"4\">crc size value size</command>"
                         "<command sn=\"8\">crc size=value</command>");
    EXPECT_EQ(plan->command(4).command, "crc 8 b 8");
    EXPECT_EQ(plan->command(8).command, "crc 8=3");

    // Trimmed and case-sensitive: " load spl " counts, "Load spl" does not
    // (its check falls back to the upgrade image, never found: -1 and 0).
    plan = dir.plan("<command sn=\"1\" path=\"spl.bin\">\n  load spl \t</command>"
                    "<command sn=\"2\">crc size value</command>"
                    "<command sn=\"5\" path=\"spl.bin\">Load spl</command>"
                    "<command sn=\"6\">crc size value</command>"
                    "<command sn=\"9\">CRC size value</command>"
                    "<command sn=\"10\">crc size only</command>");
    EXPECT_EQ(plan->command(2).command, "crc 8 3");
    EXPECT_EQ(plan->command(6).command, "crc -1 0");
    EXPECT_EQ(plan->command(9).command, "CRC size value");
    EXPECT_EQ(plan->command(10).command, "crc size only");

    // A check in record 0 has nothing before it and stays as written; a
    // patch path wins over the load kind; a missing image gives -1 and 0.
    plan = dir.plan("<command sn=\"0\">crc size value</command>"
                    "<command sn=\"1\" path=\"spl.bin\">load to ram</command>"
                    "<command sn=\"2\" path=\"patch_a.bin\">load spl</command>"
                    "<command sn=\"3\">crc size value</command>"
                    "<command sn=\"4\" path=\"nothing.bin\">load uimage</command>"
                    "<command sn=\"5\">crc size value</command>");
    EXPECT_EQ(plan->command(0).command, "crc size value");
    EXPECT_EQ(plan->command(3).command, "crc -1 0"); // the patch image was never a patch
    EXPECT_EQ(plan->command(5).command, "crc -1 0");
}

TEST(BurnPlan, LoadAddrPlaceholders) {
    PlanDir dir;
    dir.write("up.img", QByteArray(1000, 'u'));
    dir.write("patch.img", QByteArray(77, 'p'));
    const QByteArray upgrade = "<command sn=\"1\" path=\"up.img\">load to ram</command>";
    const QByteArray patch = "<command sn=\"2\" path=\"patch.img\">load to ram</command>";
    auto addr = [](const char *cmd, int sn = 3) {
        return "<command sn=\"" + QByteArray::number(sn) + "\" cmd=\"" + cmd +
               "\">load addr</command>";
    };

    // Without a patch every placeholder gets the upgrade size.
    auto plan = dir.plan(upgrade + addr("a:0#b:123#c:#d:x#"));
    EXPECT_EQ(plan->command(3).cmd(), "a:1000#b:1000#c:1000#d:x#");

    // With a patch: exactly two placeholders, split 12 characters after the
    // first one.
    plan = dir.plan(upgrade + patch + addr("up:0#----------------pt:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "up:1000#----------------pt:77#");
    plan = dir.plan(upgrade + patch + addr("up:0#,pt:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "up:1000#,pt:1000#");
    plan = dir.plan(upgrade + patch + addr("a:0#--------------b:0#-------------c:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "a:0#--------------b:0#-------------c:0#");
    plan = dir.plan(upgrade + patch + addr("only:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "only:0#");

    // Record 0 is never rewritten.
    plan = dir.plan(upgrade + addr("a:0#", 0));
    EXPECT_EQ(plan->command(0).cmd(), "a:0#");

    // A missing upgrade image leaves the text; a missing patch image puts -1
    // into the second part.
    plan = dir.plan("<command sn=\"1\" path=\"gone.img\">load to ram</command>" + addr("a:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "a:0#");
    plan = dir.plan(upgrade + "<command sn=\"2\" path=\"patch_gone.img\">load to ram</command>" +
                    addr("up:0#----------------pt:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "up:1000#----------------pt:-1#");

    // A further "load to ram" without "patch" in its path records nothing.
    plan = dir.plan(upgrade + "<command sn=\"2\" path=\"up.img\">load to ram</command>" +
                    addr("a:0#--------------b:0#-------------c:0#"));
    EXPECT_EQ(plan->command(3).cmd(), "a:1000#--------------b:1000#-------------c:1000#");
}

TEST(BurnPlan, PlanDirectoryNamedPatchMakesLaterImagesPatches) {
    PlanDir dir;
    dir.write("patchwork/a.img", QByteArray(40, 'a'));
    dir.write("patchwork/b.img", QByteArray(9, 'b'));
    dir.write("patchwork/plan.xml",
              "<plan><command sn=\"1\" path=\"a.img\">load to ram</command>"
              "<command sn=\"2\" path=\"b.img\">load to ram</command>"
              "<command sn=\"3\">crc size value</command>"
              "<command sn=\"4\" cmd=\"x:0#-------------y:0#\">load addr</command></plan>");
    BurnPlan plan(dir.path("patchwork/plan.xml"));
    EXPECT_EQ(plan.command(3).command,
              QStringLiteral("crc 9 %1").arg(naiveSum(QByteArray(9, 'b')), 0, 16));
    EXPECT_EQ(plan.command(4).cmd(), "x:40#-------------y:9#");
}

TEST(BurnPlan, PlanWithoutDirectoryResolvesAgainstWorkingDirectory) {
    PlanDir dir;
    CurrentDir cwd(dir.path(""));
    dir.write("spl.bin", kSpl);
    dir.write("config_progress.xml", "<plan><command sn=\"0\" path=\"spl.bin\">load spl</command>"
                                     "<command sn=\"1\">crc size value</command>"
                                     "<command sn=\"2\" path=\"spl.bin\">load to ram</command>"
                                     "</plan>");
    BurnPlan plan{QString()};
    EXPECT_EQ(plan.planPath(), "config_progress.xml");
    EXPECT_EQ(plan.command(0).path(), "spl.bin");
    EXPECT_EQ(plan.command(1).command, "crc 8 3");
    // The image sits in the working directory itself: nothing to watch.
    EXPECT_TRUE(plan.resourceDir().isEmpty());
    EXPECT_TRUE(plan.getResourcePath().isEmpty());
}

TEST(BurnPlan, ResourcePathOnlyWhenItExists) {
    PlanDir dir;
    auto plan = dir.plan("<command sn=\"0\" path=\"img\\a.bin\">load to ram</command>");
    EXPECT_EQ(plan->resourceDir(), dir.path("img"));
    EXPECT_TRUE(plan->getResourcePath().isEmpty());
    dir.write("img/a.bin", "x");
    plan = dir.plan("<command sn=\"0\" path=\"img\\a.bin\">load to ram</command>");
    EXPECT_EQ(plan->getResourcePath(), dir.path("img"));
}

TEST(BurnPlan, CheckSumAddsLittleEndianWordsWithZeroPadding) {
    PlanDir dir;
    dir.write("five.bin", QByteArray::fromHex("0102030405"));
    EXPECT_EQ(BurnPlan::checkSum(dir.path("five.bin")), 0x04030206u);
    dir.write("wrap.bin", QByteArray::fromHex("ffffffffffffffff03"));
    EXPECT_EQ(BurnPlan::checkSum(dir.path("wrap.bin")), 0x00000001u);
    dir.write("empty.bin", "");
    EXPECT_EQ(BurnPlan::checkSum(dir.path("empty.bin")), 0u);
    EXPECT_EQ(BurnPlan::checkSum(dir.path("missing.bin")), 0u);
    EXPECT_EQ(BurnPlan::checkSum(dir.path("")), 0u);

    // Several read blocks with a tail that is not a whole word.
    QByteArray big(3 * (1 << 20) + 7, '\0');
    quint32 x = 12345;
    for (char &c : big) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    dir.write("big.bin", big);
    EXPECT_EQ(BurnPlan::checkSum(dir.path("big.bin")), naiveSum(big));
}
