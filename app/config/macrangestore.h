// Address range files attached by the window's address check boxes, one per
// key kind: 0 Ethernet, 1 Bluetooth, 2 Wi-Fi.
#ifndef MACRANGESTORE_H
#define MACRANGESTORE_H

#include <QString>

class MacRangeStore {
  public:
    enum Kind { KIND_ETHER = 0, KIND_BT = 1, KIND_WIFI = 2, KIND_COUNT = 3 };

    // The single instance, created on first use.
    static MacRangeStore &instance();
    // The range file of a kind: "mac_ether.ini", "mac_bt.ini", "mac_wifi.ini".
    static QString rangeFileName(int kind);

    // Attaches path to kind (non-empty) or detaches it (empty). A kind
    // outside 0..2 is ignored.
    void setFile(int kind, const QString &path);
    // The attached file, empty when none.
    QString file(int kind) const;

  private:
    MacRangeStore() = default;
    QString mFiles[KIND_COUNT];
};

#endif
