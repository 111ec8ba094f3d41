// The journal of the log panel: every line that goes into the panel is also
// appended to log/journal_<start time>.log, so that a crash or a power cut
// loses at most the lines of the last refresh (sync() is called once per
// refresh). Port log lines the window did not collect in time (see
// BurnThread::logShow) are written here directly by their burn thread, so
// they reach the disk and the saved logs even though the panel never shows
// them.
//
// The journal holds exactly the lines since the panel was last emptied: a save
// that is followed by emptying the panel (the automatic save) truncates it,
// a clean exit whose save succeeded removes it. A journal found at start
// belongs to a run that died; recoverDead() turns it into a saved log.
//
// Thread-safe: the window appends and asks for syncs, burn threads append.
// The sync itself runs on a thread of the journal's own, so a slow disk never
// stretches the window's refresh; a sync asked for while one runs is done
// right after it.
#ifndef LOGJOURNAL_H
#define LOGJOURNAL_H

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <condition_variable>
#include <mutex>
#include <thread>

class LogJournal {
  public:
    // "journal_" + t as "yyyy-MM-dd-hh-mm-ss" + ".log" in `logDir`.
    static QString pathFor(const QString &logDir, const QDateTime &t);

    // Every journal in `logDir` left by a run that died (any journal_*.log
    // present before this run opened its own) becomes a saved log named
    // "MM.dd.hh.mm_recovered.log" after the journal's last write (a counter
    // is added when that name is taken); the journal is then removed. An
    // empty journal is just removed. Returns the saved logs' paths; a journal
    // that cannot be saved is left for the next start and named in *failed.
    static QStringList recoverDead(const QString &logDir, QStringList *failed = nullptr);

    // The start of a run's log files, as every front end makes it: the log
    // folder, this run's USB debug log, the panels of runs that died (saved
    // from their journals, before this run's own is made), then this run's
    // journal in `journal`, made the active one when it opens.
    struct RunStart {
        QStringList recovered;  // saved logs made from dead runs' journals
        QStringList unreadable; // journals that could not be recovered
        bool journalOpen = false;
    };
    static RunStart startRun(LogJournal &journal, const QDateTime &started);

    LogJournal() = default;
    ~LogJournal();
    LogJournal(const LogJournal &) = delete;
    LogJournal &operator=(const LogJournal &) = delete;

    // Creates the journal (never reusing an existing file: a counter is added
    // to the name then). False when it cannot be made; the panel then works
    // without one.
    bool open(const QString &path);
    bool isOpen() const;
    QString path() const;

    // True while the journal is open and every line since it was last
    // emptied reached it (a full disk makes it false until truncate()).
    bool intact() const;

    // Appends `text` and a line break. Not synced: see sync().
    void append(const QString &text);
    // Has what was appended so far pushed to the disk (fdatasync) on the
    // journal's thread; nothing when nothing was appended since the last.
    void sync();
    // Waits until every sync asked for so far has ended (tests, benchmarks).
    void waitSynced();
    // The whole journal as text ("\n" between lines, no last line break).
    QString text() const;
    // Empties the journal (its lines were saved elsewhere).
    void truncate();
    // Closes and deletes the journal.
    void remove();

    // The journal burn threads write lines the panel will not show into;
    // null when there is none (the headless front end, tests).
    static LogJournal *active();
    static void setActive(LogJournal *journal);

  private:
    void syncLoop();
    void dropSyncFd(std::unique_lock<std::mutex> &lock);

    mutable std::mutex mLock;
    std::condition_variable mWake, mSynced;
    QFile mFile;
    bool mDirty = false;
    bool mBroken = false;
    bool mStopping = false;
    // A duplicate of the file's descriptor, made when the file is opened and
    // closed only on this object's own thread once no sync is running on it,
    // so that the sync thread never closes a descriptor another thread may
    // be given the number of. -1: none (synced on the caller's thread).
    int mSyncFd = -1;
    bool mPending = false;    // a sync asked for and not yet taken
    bool mSyncing = false;    // the sync thread is in fdatasync
    unsigned long mAsked = 0; // syncs asked for
    unsigned long mDone = 0;  // syncs ended
    std::thread mSyncer;
};

#endif
