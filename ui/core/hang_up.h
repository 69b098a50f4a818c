// Hanging up the dial-up link when the interface quits: the engine thread
// does it, so it touches no widget and no settings object, and hands any
// warning back as text for the GUI thread to show.
#pragma once

#include <QString>
#include <QStringList>

// The subscription's two dial-up keys, copied on the GUI thread.
struct DialKeys {
    QString connection;
    bool hangup = false;
};

// The warning for a hang-up of the link `name` that failed with `error`.
QString hang_up_warning(const QString& name, int error);

// Hangs up every running link named keys.connection (nothing when hangup is
// off or the name is empty): up to 10 attempts each, every attempt followed
// by up to 101 checks 10 ms apart. Returns the warning texts of failed
// hang-ups.
QStringList hang_up_dialup(const DialKeys& keys);
