// The connection settings dialog: three tabs of widgets that show the
// connection settings of the current subscription. It holds no settings of
// its own; the connect dialog fills it and takes the settings back when it
// closes, through settings_form_state.
#pragma once

#include <QDialog>
#include <QSettings>

#include "ui/core/settings_transfer.h"
#include "ui_qrsettingsform.h"

class QComboBox;
class QWidget;
class QrConnectForm;

// A combo box as the settings transfer sees it.
combo_state read_combo(const QComboBox* box);

class QrSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit QrSettingsForm(QrConnectForm* owner);
    ~QrSettingsForm() override;

    Ui_QrSettingsForm ui;
    QSettings ui_lists;

    // What the widgets hold, items included.
    settings_form_state state() const;
    // Puts the values of st into the widgets: edit texts, current items of
    // the boxes that are not editable, checks and spin box values.
    void show_state(const settings_form_state& st);
    // After an acceptance that refused some settings: their widgets show the
    // values kept, and a box tells the user.
    void report_refused(QWidget* parent, const settings_refusals& refused, const ConnectionSettings& kept);

private:
    void load_lists();
    void load_dialup_entries();
};
