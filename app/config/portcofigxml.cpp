#include "portcofigxml.h"

#include "burnstate.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

std::function<void(const QString &, const QString &)> PortCofigXml::warningHook =
    [](const QString &title, const QString &text) { qWarning().noquote() << title << ":" << text; };

PortCofigXml::PortCofigXml() {
    qDebug() << "PortCofigXml ";
    if (QFile::exists(QLatin1String(FILE_NAME))) {
        readPortPaths();
        return;
    }
    for (PortInfo &port : gPortInfo)
        port.portPath = QStringLiteral("none");
    writePortPaths();
}

bool PortCofigXml::readPortPaths() {
    QFile file{QString::fromLatin1(FILE_NAME)};
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return false;
    QXmlStreamReader xml(&file);
    int slot = 0;
    // Elements past the eighth have no slot; reading stops there. A
    // malformed file stops at the error with the slots read so far.
    while (slot < PORT_COUNT && !xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement &&
            xml.name() == QLatin1String("port_path"))
            gPortInfo[slot++].portPath = xml.readElementText();
    }
    return true;
}

void PortCofigXml::setPortPath(int slot, const QString &path) {
    if (slot < 0 || slot >= PORT_COUNT) {
        qDebug() << "setPortPath: no slot" << slot;
        return;
    }
    readPortPaths();
    gPortInfo[slot].portPath = path;
    writePortPaths();
}

// Written beside the file and renamed over it once synced: a crash or a
// power cut leaves the old file or the new one, never a cut one.
void PortCofigXml::writePortPaths() {
    QSaveFile file{QString::fromLatin1(FILE_NAME)};
    if (!file.open(QIODevice::WriteOnly)) {
        warningHook(QStringLiteral("Read only"), QStringLiteral("The file is in read only mode"));
        return;
    }
    QXmlStreamWriter xml(&file);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("port_configs"));
    for (const PortInfo &port : gPortInfo) {
        xml.writeStartElement(QStringLiteral("port_path"));
        xml.writeCharacters(port.portPath);
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    if (xml.hasError()) file.cancelWriting();
    if (!file.commit())
        qWarning().noquote() << "writing" << FILE_NAME << "failed:" << file.errorString();
}
