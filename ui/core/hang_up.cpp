#include "ui/core/hang_up.h"

#include <QCoreApplication>

#include <vector>

#include "platform/dialup.h"
#include "platform/sleep.h"

namespace {

constexpr int hang_up_attempts = 10;
constexpr int status_checks = 101;
constexpr uint32_t status_check_ms = 10;
constexpr uint32_t settle_ms = 100;

}  // namespace

QString hang_up_warning(const QString& name, int error) {
    return QCoreApplication::translate("QObject", " Error disconnectiing: ") + name + " err: " + QString::number(error);
}

QStringList hang_up_dialup(const DialKeys& keys) {
    QStringList warnings;
    if (!keys.hangup) return warnings;
    std::vector<dialup_connection> links;
    if (dialup_connections(&links) != 0) return warnings;
    sleep_ms(settle_ms);
    if (keys.connection.isEmpty()) return warnings;
    const std::string name = keys.connection.toStdString();
    for (const dialup_connection& link : links) {
        if (link.entry != name) continue;
        for (int attempt = 0; attempt < hang_up_attempts; ++attempt) {
            const int err = dialup_hang_up(link);
            if (err != 0) {
                warnings << hang_up_warning(keys.connection, err);
                break;
            }
            bool gone = false;
            for (int check = 0; check < status_checks && !gone; ++check) {
                gone = !dialup_connection_alive(link);
                if (!gone && check + 1 < status_checks) sleep_ms(status_check_ms);
            }
            if (gone) break;
        }
    }
    return warnings;
}
