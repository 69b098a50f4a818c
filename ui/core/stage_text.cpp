#include "ui/core/stage_text.h"

#include <QCoreApplication>

namespace {

constexpr int stage_wait_adapter = 7;

const char* const stage_sources[] = {
    nullptr,
    QT_TRANSLATE_NOOP("SplashForm", "Reading config"),
    QT_TRANSLATE_NOOP("SplashForm", "Init TAP adapter"),
    QT_TRANSLATE_NOOP("SplashForm", "Starting TAP adapter"),
    QT_TRANSLATE_NOOP("SplashForm", "Waiting timeout..."),
    QT_TRANSLATE_NOOP("SplashForm", "Configuring TAP using DHCP"),
    QT_TRANSLATE_NOOP("SplashForm", "Setting routes"),
    QT_TRANSLATE_NOOP("SplashForm", "Waiting for adapter init.. "),
    QT_TRANSLATE_NOOP("SplashForm", "All OK! Starting."),
    QT_TRANSLATE_NOOP("SplashForm", "Error starting TAP!!"),
};
constexpr int stage_count = int(sizeof stage_sources / sizeof stage_sources[0]);

}  // namespace

QString StageTexts::text(int stage) {
    QString t;
    if (stage > 0 && stage < stage_count) t = QCoreApplication::translate("SplashForm", stage_sources[stage]);
    if (stage == stage_wait_adapter && previous_ == stage_wait_adapter) t += QString::number(++repeat_count_);
    previous_ = stage;
    return t;
}
