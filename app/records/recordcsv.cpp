#include "recordcsv.h"

#include <QStringList>

namespace RecordCsv {

QString field(const QString &text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString header(bool withLog) {
    return BurnRecord::columnNames(withLog).join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString line(const BurnRecord &record, bool withLog) {
    const QVariantList values = record.columnValues();
    const int count = int(BurnRecord::columnNames(withLog).size());
    QStringList fields;
    // A NULL (a success's fail_step and fail_text) is an empty field.
    for (int i = 0; i < count && i < values.size(); ++i)
        fields << field(values[i].isNull() ? QString() : values[i].toString());
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

} // namespace RecordCsv
