#include "ui/core/tray_text.h"

#include <QCoreApplication>
#include <QLocale>

namespace {

QString tr(const char* source) { return QCoreApplication::translate("QrConnectForm", source); }

}  // namespace

QString byte_count_text(qint64 bytes) {
    const QLocale locale;
    if (bytes < 100000) return locale.toString(bytes) + tr(" bytes");
    if (bytes <= 99999999) return locale.toString(bytes / 1000) + tr(" Kb");
    return locale.toString(bytes / 1000000) + tr(" Mb");
}

QString tray_tooltip(qint64 bytes_in, qint64 bytes_out, float compression_pct) {
    return tr("In: ") + byte_count_text(bytes_in) + " \n " + tr("Out: ") + byte_count_text(bytes_out) + " \n " +
           tr("Compression: ") + QString::number(double(compression_pct), 'f', 2) + " %";
}
