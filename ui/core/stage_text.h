// What the connecting window shows for each start-up stage of the engine.
#pragma once

#include <QString>

// Stage 7 repeats while the engine waits for the adapter: each repeat
// carries a number that counts on across the whole run (never reset).
class StageTexts {
public:
    // The text for a stage, translated in the "SplashForm" context; empty
    // for stages outside 1 to 9.
    QString text(int stage);

private:
    int previous_ = 0;
    int repeat_count_ = 0;
};
