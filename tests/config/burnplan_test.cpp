#include "burnplan.h"

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
    QString path(const QString &name) const { return mDir.filePath(name); }

    void write(const QString &name, const QByteArray &bytes) const {
        QDir().mkpath(QFileInfo(path(name)).absolutePath());
        QFile f(path(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    // Wraps the command elements in a document and reads it.
    std::unique_ptr<BurnPlan> plan(const QByteArray &commands) const {
        write("plan.xml", "<?xml version=\"1.0\"?><plan>" + commands + "</plan>");
        return std::make_unique<BurnPlan>(path("plan.xml"));
    }

  private:
    QTemporaryDir mDir;
};

} // namespace

TEST(BurnPlan, ReadsAFullPlanWithItsRewrites) {
    PlanDir dir;
    QFile::copy(QStringLiteral(CONFIG_TEST_DATA "/config_progress.xml"), dir.path("plan.xml"));
    dir.write("spl.bin", kSpl);
    dir.write("u-boot.bin", QByteArray::fromHex("100000002000"));                 // 6, 0x30
    dir.write("upgrade/update.img", QByteArray::fromHex("01000000010000000100")); // 10, 3
    dir.write("upgrade/patch.img", QByteArray::fromHex("ffffffff01"));            // 5, 0
    BurnPlan plan(dir.path("plan.xml"));

    ASSERT_TRUE(plan.loaded());
    EXPECT_EQ(plan.commandCount(), 10);
    EXPECT_EQ(plan.command(0).path(), dir.path("spl.bin"));
    EXPECT_EQ(plan.command(2).filesize(), "6");
    // Check commands keep their blanks and get the numbers of the record before.
    EXPECT_EQ(plan.command(1).command, "  crc -c 8 -s 3  ");
    EXPECT_EQ(plan.command(3).command, "crc -c 6 -s 30");
    EXPECT_EQ(plan.command(6).command, "crc -c 5 -s 0");
    // Windows separators in the plan are read as directories.
    EXPECT_EQ(plan.command(4).path(), dir.path("upgrade/update.img"));
    EXPECT_EQ(plan.getResourcePath(), dir.path("upgrade"));
    // Two placeholders far apart: upgrade size, then patch size.
    EXPECT_EQ(plan.command(7).cmd(), "update:update.img:10#(prepare:patch.img:5#)");
    EXPECT_EQ(plan.command(9).cmd(), "upgrade");
    EXPECT_EQ(plan.command(10).sn, -1);
}

TEST(BurnPlan, FillsRecordsBySnAndCountsElements) {
    PlanDir dir;
    // A fourth element without sn lands in record 0; record 4 is a gap; an
    // element nested at any depth counts; sn outside the table is skipped,
    // including numbers too large for an int, and not-a-number means 0.
    auto plan = dir.plan("<command sn=\"0\">a</command><command sn=\"1\">b</command>"
                         "<x><y><command sn=\"5\" cmd=\"a&amp;b &lt;c&gt;\">e</command></y></x>"
                         "<command>d</command><cmd sn=\"4\">no</cmd>"
                         "<command sn=\"-1\">neg</command><command sn=\"32\">past</command>"
                         "<command sn=\"4294967296\">wraps</command>"
                         "<command sn=\"99999999999999999999999\">huge</command>"
                         "<command sn=\"31\">last</command><command sn=\"abc\">word</command>");
    EXPECT_EQ(plan->commandCount(), 6);
    EXPECT_EQ(plan->command(0).command, "word");
    EXPECT_EQ(plan->command(5).cmd(), "a&b <c>");
    EXPECT_EQ(plan->command(31).command, "last");
    EXPECT_EQ(plan->command(4).sn, -1);
    EXPECT_TRUE(plan->command(4).command.isEmpty());
    EXPECT_EQ(plan->command(32).sn, -1); // reads past the table give an empty record
}

TEST(BurnPlan, DamagedFilesGiveAPlanWithoutCommands) {
    PlanDir dir;
    BurnPlan missing(dir.path("absent.xml"));
    EXPECT_FALSE(missing.loaded());
    EXPECT_EQ(missing.commandCount(), 0);

    dir.write("binary.xml", QByteArray("\x00\xff\xfe garbage \x01", 13));
    EXPECT_EQ(BurnPlan(dir.path("binary.xml")).commandCount(), 0);

    // Cut short, or a raw NUL byte after two good commands: nothing of it is
    // kept, and the operator is told why.
    dir.write("cut.xml", "<plan><command sn=\"0\">a</command><command sn=\"1\">b</comm");
    BurnPlan cut(dir.path("cut.xml"));
    EXPECT_TRUE(cut.loaded());
    EXPECT_EQ(cut.commandCount(), 0);
    EXPECT_EQ(cut.command(0).sn, -1);
    EXPECT_TRUE(cut.refusal().contains("not a well-formed plan")) << cut.refusal().toStdString();
    EXPECT_TRUE(cut.notes().contains(cut.refusal()));

    dir.write("nul.xml", "<plan><command sn=\"0\">a</command><command sn=\"1\">b</command>"
                         "<command sn=\"2\">c" +
                             QByteArray(1, '\0') + "d</command></plan>");
    BurnPlan nul(dir.path("nul.xml"));
    EXPECT_EQ(nul.commandCount(), 0);
    EXPECT_FALSE(nul.refusal().isEmpty());
}

TEST(BurnPlan, NotesEverySkippedOrReplacedRecordAndEmptyImage) {
    PlanDir dir;
    dir.write("empty.bin", "");
    dir.write("spl.bin", kSpl);
    auto plan = dir.plan("<command sn=\"0\" path=\"spl.bin\" address=\"0x80000000\" count=\"5\">"
                         "load spl</command>"
                         "<command sn=\"1\" path=\"empty.bin\">load uboot</command>"
                         "<command sn=\"1\" path=\"empty.bin\">load uimage</command>"
                         "<command sn=\"40\">far</command><command sn=\"two\">word</command>"
                         "<command sn=\"3\" count=\"ten\" address=\"zz\">x</command>");
    // Still read as before: the well-formed plan keeps its records.
    EXPECT_TRUE(plan->refusal().isEmpty());
    EXPECT_EQ(plan->commandCount(), 5);
    EXPECT_EQ(plan->command(0).command, "word");
    const QString notes = plan->notes().join("\n");
    EXPECT_EQ(plan->notes().size(), 8) << notes.toStdString();
    for (const char *seen :
         {"a second command with sn 1 replaces \"load uboot\"", "sn \"40\" skipped",
          "sn \"two\" is not a number", "a second command with sn 0 replaces \"load spl\"",
          "count \"ten\" of command sn 3", "address \"zz\" of command sn 3",
          "empty.bin of command sn 1 is empty"})
        EXPECT_TRUE(notes.contains(seen)) << seen << "\n" << notes.toStdString();

    // A well-formed plan with nothing unusual says nothing.
    EXPECT_TRUE(
        dir.plan("<command sn=\"0\" path=\"spl.bin\">load spl</command>")->notes().isEmpty());
}

TEST(BurnPlan, PathsLeavingThePlanDirectoryAreRefused) {
    EXPECT_TRUE(BurnPlan::staysInPlanDir("spl.bin"));
    EXPECT_TRUE(BurnPlan::staysInPlanDir("upgrade\\fw..1.img"));
    EXPECT_TRUE(BurnPlan::staysInPlanDir("./a/b.img"));
    EXPECT_FALSE(BurnPlan::staysInPlanDir("../../etc/hostname"));
    EXPECT_FALSE(BurnPlan::staysInPlanDir("upgrade\\..\\..\\x"));
    EXPECT_FALSE(BurnPlan::staysInPlanDir("/etc/hostname"));
    EXPECT_FALSE(BurnPlan::staysInPlanDir("C:\\boot.bin"));

    PlanDir dir;
    dir.write("spl.bin", kSpl);
    dir.write("outside.bin", "secret");
    auto plan = dir.plan("<command sn=\"0\" path=\"spl.bin\">load spl</command>"
                         "<command sn=\"1\" path=\"sub/../../outside.bin\">load to ram</command>");
    EXPECT_EQ(plan->commandCount(), 0);
    EXPECT_EQ(plan->command(1).path(), QString());
    EXPECT_TRUE(plan->refusal().contains("sub/../../outside.bin")) << plan->refusal().toStdString();
}

TEST(BurnPlan, ImagesOfTwoGibibytesOrMoreAreRefused) {
    PlanDir dir;
    dir.write("spl.bin", kSpl);
    QFile big(dir.path("big.img"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    ASSERT_TRUE(big.resize(qint64(1) << 31)); // sparse: no disk space used
    big.close();
    auto plan = dir.plan("<command sn=\"0\" path=\"spl.bin\">load spl</command>"
                         "<command sn=\"1\" path=\"big.img\">load to ram</command>");
    EXPECT_EQ(plan->commandCount(), 0);
    EXPECT_TRUE(plan->refusal().contains("2147483648 bytes")) << plan->refusal().toStdString();

    // One byte less fits (a second image without "patch" in its name is
    // loaded but not summed, which keeps this test quick).
    ASSERT_TRUE(QFile::resize(dir.path("big.img"), (qint64(1) << 31) - 1));
    auto fits = dir.plan("<command sn=\"0\" path=\"spl.bin\">load to ram</command>"
                         "<command sn=\"1\" path=\"big.img\">load to ram</command>");
    EXPECT_EQ(fits->commandCount(), 2);
    EXPECT_TRUE(fits->refusal().isEmpty());
}

TEST(BurnPlan, CheckCommandsTakeTheRecordBeforeByIndex) {
    PlanDir dir;
    dir.write("spl.bin", kSpl);
    dir.write("boot.bin", QByteArray::fromHex("0500000006000000")); // 8, 0xb
    // Record 4 follows record 3 by index though a load spl comes between them
    // in the file. " load spl " counts; "Load spl" does not, so its check
    // falls back to the upgrade image, which was never found: -1 and 0.
    auto plan = dir.plan("<command sn=\"3\" path=\"boot.bin\">load uboot</command>"
                         "<command sn=\"7\" path=\"spl.bin\">\n load spl \t</command>"
                         "<command sn=\"4\">crc size value size</command>"
                         "<command sn=\"8\">crc size=value</command>"
                         "<command sn=\"10\" path=\"spl.bin\">Load spl</command>"
                         "<command sn=\"11\">crc size value</command>"
                         "<command sn=\"12\">CRC size value</command>"
                         "<command sn=\"0\">crc size value</command>");
    EXPECT_EQ(plan->command(4).command, "crc 8 b 8");
    EXPECT_EQ(plan->command(8).command, "crc 8=3");
    EXPECT_EQ(plan->command(11).command, "crc -1 0");
    EXPECT_EQ(plan->command(12).command, "CRC size value");
    EXPECT_EQ(plan->command(0).command, "crc size value"); // nothing before record 0
}

TEST(BurnPlan, LoadAddrPlaceholders) {
    PlanDir dir;
    dir.write("up.img", QByteArray(1000, 'u'));
    dir.write("patch.img", QByteArray(77, 'p'));
    const QByteArray upgrade = "<command sn=\"1\" path=\"up.img\">load to ram</command>";
    const QByteArray patch = "<command sn=\"2\" path=\"patch.img\">load to ram</command>";
    auto cmdAfter = [&](const QByteArray &images, const char *cmd, int sn = 3) {
        return dir
            .plan(images + "<command sn=\"" + QByteArray::number(sn) + "\" cmd=\"" + cmd +
                  "\">load addr</command>")
            ->command(sn)
            .cmd();
    };
    EXPECT_EQ(cmdAfter(upgrade, "a:0#b:123#c:#d:x#"), "a:1000#b:1000#c:1000#d:x#");
    // With a patch: exactly two placeholders, split 12 characters after the first.
    EXPECT_EQ(cmdAfter(upgrade + patch, "u:0#-----------------p:0#"),
              "u:1000#-----------------p:77#");
    EXPECT_EQ(cmdAfter(upgrade + patch, "u:0#,p:0#"), "u:1000#,p:1000#");
    EXPECT_EQ(cmdAfter(upgrade + patch, "a:0#-------------b:0#------------c:0#"),
              "a:0#-------------b:0#------------c:0#");
    EXPECT_EQ(cmdAfter(upgrade, "a:0#", 0), "a:0#"); // record 0 is never rewritten
    EXPECT_EQ(cmdAfter("<command sn=\"1\" path=\"gone.img\">load to ram</command>", "a:0#"),
              "a:0#");
    EXPECT_EQ(cmdAfter(upgrade + "<command sn=\"2\" path=\"patch_gone\">load to ram</command>",
                       "u:0#-----------------p:0#"),
              "u:1000#-----------------p:-1#");
}

TEST(BurnPlan, PlanWithoutDirectoryResolvesAgainstWorkingDirectory) {
    PlanDir dir;
    const QString old = QDir::currentPath();
    QDir::setCurrent(dir.path(""));
    dir.write("spl.bin", kSpl);
    dir.write("config_progress.xml", "<plan><command sn=\"0\" path=\"spl.bin\">load spl</command>"
                                     "<command sn=\"1\">crc size value</command></plan>");
    BurnPlan plan{QString()};
    QDir::setCurrent(old);
    EXPECT_EQ(plan.command(0).path(), "spl.bin");
    EXPECT_EQ(plan.command(1).command, "crc 8 3");
}

TEST(BurnPlan, CheckSumAddsLittleEndianWordsWithZeroPadding) {
    PlanDir dir;
    dir.write("five.bin", QByteArray::fromHex("0102030405"));
    EXPECT_EQ(BurnPlan::checkSum(dir.path("five.bin")), 0x04030206u);
    EXPECT_EQ(BurnPlan::checkSum(dir.path("missing.bin")), 0u);
    EXPECT_EQ(BurnPlan::checkSum(dir.path("")), 0u); // a directory

    // Several read blocks, words wrapping past 2^32, a tail of three bytes.
    QByteArray big(3 * (1 << 20) + 7, '\xff');
    big[0] = 2;
    dir.write("big.bin", big);
    const quint32 words = (big.size() + 3) / 4;
    const quint32 expected = 0xffffff02u + (words - 2) * 0xffffffffu + 0x00ffffffu;
    EXPECT_EQ(BurnPlan::checkSum(dir.path("big.bin")), expected);
}
