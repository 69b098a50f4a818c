// The connection settings dialog. This class holds the widgets the connect
// road reads and presets (dial-up choice, UDP port, TAP page and address,
// MRU); the rest of the dialog comes with the settings issue, under the same
// names.
#pragma once

#include <QDialog>

#include "ui_qrsettingsform.h"

class QrConnectForm;

class QrSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit QrSettingsForm(QrConnectForm* owner);
    ~QrSettingsForm() override;

    Ui_QrSettingsForm ui;

private:
    void load_dialup_entries();
};
