// The burn plan: config_progress.xml read once into a fixed table of 32
// command records, with the image sizes and word sums written into the check
// commands and the "load addr" text. A plan never changes after it is built.
//
// A plan that cannot be burnt as written has no commands: a file that is not
// well-formed XML (a cut file, a raw NUL byte), a record path that leaves the
// plan's directory, an image of 2 GiB or more (the device takes 32-bit
// sizes). What the reader skipped, replaced or refused, and every empty
// image, is said in notes() for the operator's log panel.
#ifndef BURNPLAN_H
#define BURNPLAN_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

// One step of the plan, stored at the index given by its sn attribute.
// The implicit copy of the parameter array uses a compiler-made loop variable
// that clang-tidy 14 takes for a reserved name.
struct BurnCommand { // NOLINT(bugprone-reserved-identifier)
    // Parameter slots; 8..15 stay empty.
    enum Param {
        PARAM_PATH = 0,
        PARAM_DEVICE = 1,
        PARAM_ADDRESS = 2,
        PARAM_OFFSET = 3,
        PARAM_FILESIZE = 4,
        PARAM_RUN = 5,
        PARAM_COUNT = 6,
        PARAM_CMD = 7,
        PARAM_SLOTS = 16,
    };

    int sn = -1;     // -1: no element filled this record
    QString command; // element text after the rewrites; stored untrimmed
    QString parameters[PARAM_SLOTS];

    const QString &path() const { return parameters[PARAM_PATH]; }
    const QString &device() const { return parameters[PARAM_DEVICE]; }
    const QString &address() const { return parameters[PARAM_ADDRESS]; }
    const QString &offset() const { return parameters[PARAM_OFFSET]; }
    const QString &filesize() const { return parameters[PARAM_FILESIZE]; }
    const QString &run() const { return parameters[PARAM_RUN]; }
    const QString &count() const { return parameters[PARAM_COUNT]; }
    const QString &cmd() const { return parameters[PARAM_CMD]; }
};

class BurnPlan {
  public:
    static constexpr int MAX_COMMANDS = 32;
    static constexpr const char *DEFAULT_PATH = "config_progress.xml";

    // Reads the plan at planPath (null or empty: config_progress.xml in the
    // working directory). A missing file gives a plan without commands.
    explicit BurnPlan(const QString &planPath = QString());

    // Number of command elements read; each counts once, whatever its sn
    // (elements whose sn has no record are skipped and not counted). 0 for a
    // plan that was refused (see refusal()).
    int commandCount() const { return mCommandCount; }
    // Why the plan was refused (empty: it was not).
    const QString &refusal() const { return mRefusal; }
    // Lines for the operator: records skipped or replaced, fields that are
    // not numbers, empty images, and the refusal.
    const QStringList &notes() const { return mNotes; }
    // A path attribute that stays inside the plan's directory: relative, and
    // no ".." component (both separators count).
    static bool staysInPlanDir(const QString &attr);
    const QString &planPath() const { return mPlanPath; }
    // Record i; an index outside 0..31 gives an empty record (sn -1).
    const BurnCommand &command(int i) const;
    // Directory of the last "load to ram" file read; empty until one is read.
    const QString &resourceDir() const { return mResourceDir; }
    // resourceDir when it names an existing file or directory, else empty.
    QString getResourcePath() const;
    // False when the plan file was missing or could not be opened.
    bool loaded() const { return mLoaded; }

    // 32-bit sum of the file's little-endian words, the last one padded with
    // zero bytes. 0 when the file cannot be opened or is not a regular file.
    static quint32 checkSum(const QString &path);

  private:
    bool readConfig();
    QString recordPath(const QString &attr) const;
    void note(const QString &line);
    void refuse(const QString &why);

    int mCommandCount = 0;
    bool mLoaded = false;
    QString mPlanPath;
    QString mPlanDir;
    BurnCommand mCommands[MAX_COMMANDS];
    QString mResourceDir;
    QString mRefusal;
    QStringList mNotes;
};

#endif
