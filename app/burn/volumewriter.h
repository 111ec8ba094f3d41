// Writes files onto a device's recovery volume so that they are on the device
// itself when the writer reports success. Linux keeps written data in the page
// cache for up to about half a minute, and a station mounts the volume however
// its automounter does (without "sync"); the recovery system reads its own
// disk the moment a command arrives, so every file written is fsynced, every
// directory whose entries changed is fsynced, and finish() syncs the volume's
// file system (syncfs, never the global sync(), which would wait for every
// other disk of the machine).
#ifndef VOLUMEWRITER_H
#define VOLUMEWRITER_H

#include <QSet>
#include <QString>
#include <QStringList>

class DeviceGate;

// The file operations of a copy onto a volume. Each returns 0 or an errno.
struct VolumeFileOps {
    // Creates `to` with the bytes of `from`; never replaces an existing `to`
    // and leaves no partial `to` behind when it fails.
    int (*copyFile)(const char *from, const char *to);
    int (*removeFile)(const char *path);
    int (*makeDirectory)(const char *path);
    // fsync of a file or a directory.
    int (*syncPath)(const char *path);
    // syncfs of the file system that holds path.
    int (*syncFileSystem)(const char *path);
};

// The operations every writer uses: the system's unless a test or benchmark
// installed others (setVolumeFileOps(nullptr) restores the system's).
const VolumeFileOps &systemVolumeFileOps();
const VolumeFileOps &volumeFileOps();
void setVolumeFileOps(const VolumeFileOps *ops);

// One copy operation onto the volume mounted at `volume` (a file, or a whole
// directory tree). On failure error() says what failed and why. Given a
// DeviceGate, every operation asks it first: once it is closed nothing more is
// written and the operation fails.
class VolumeWriter {
  public:
    explicit VolumeWriter(const QString &volume, const DeviceGate *gate = nullptr);

    // Copies a file and fsyncs it; the directory that holds it is flushed by
    // finish().
    bool copyFile(const QString &from, const QString &to);
    bool removeFile(const QString &path);
    bool makeDirectory(const QString &path);
    // Flushes every directory whose entries changed, then the volume's file
    // system. Nothing written counts as copied before this returned true.
    bool finish();
    // Removes the files this writer created (a failed copy must not leave a
    // partial package for the recovery to find). Best effort.
    void discard();

    QString error() const { return mError; }
    // Records why the copy was refused before anything was written.
    void refuse(const QString &why, const QString &name) { mError = why + QLatin1Char(' ') + name; }

  private:
    bool refused();
    bool failed(const QString &what, const QString &path, int err, bool named = true);
    void changed(const QString &path); // the directory holding path changed

    const VolumeFileOps &mOps;
    QString mVolume;
    const DeviceGate *mGate;
    QSet<QString> mChangedDirs;
    QStringList mCreated;
    QString mError;
};

#endif
