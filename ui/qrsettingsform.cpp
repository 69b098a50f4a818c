#include "ui/qrsettingsform.h"

#include "platform/dialup.h"

QrSettingsForm::QrSettingsForm(QrConnectForm*) {
    ui.setupUi(this);
    adjustSize();
    load_dialup_entries();
}

QrSettingsForm::~QrSettingsForm() = default;

void QrSettingsForm::load_dialup_entries() {
    ui.dial1->clear();
    ui.dial1->addItem(tr("don't dial"));
    for (const std::string& entry : dialup_entries()) ui.dial1->addItem(QString::fromStdString(entry));
}
