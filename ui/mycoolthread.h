// The thread the engine runs on: its run routine is the engine's start
// routine, which returns only when the engine could not start.
#pragma once

#include <QThread>

#include "ui/ui_api.h"

class SplashForm;

class MyCoolThread : public QThread {
    Q_OBJECT

public:
    MyCoolThread() = default;

    SplashForm* splash = nullptr;
    StartCallback callback = nullptr;

signals:
    void Canceled();
    void Changed();
    // The engine is up (emitted through UIStartStat on the engine thread).
    void Finished();

protected:
    void run() override;
};
