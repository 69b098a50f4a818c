#include "ui/dvbsettingsform.h"

#include <QFormLayout>
#include <QLabel>
#include <QLibrary>
#include <QLineEdit>
#include <QProgressBar>

DVBSettingsForm::DVBSettingsForm(QrConnectForm* owner_form) : library(new QLibrary), owner(owner_form) {
    setObjectName("DVBSettingsForm");
    setWindowTitle(tr("DVB settings"));
    auto* layout = new QFormLayout(this);
    ui.satip = new QLineEdit(this);
    ui.satip->setObjectName("satip");
    ui.siglvl = new QProgressBar(this);
    ui.siglvl->setObjectName("siglvl");
    ui.siglvl->setValue(0);
    ui.sigqua = new QProgressBar(this);
    ui.sigqua->setObjectName("sigqua");
    ui.sigqua->setValue(0);
    layout->addRow(tr("Sat provider  IP"), ui.satip);
    layout->addRow(tr("Signal strength"), ui.siglvl);
    layout->addRow(tr("Quality"), ui.sigqua);
}

DVBSettingsForm::~DVBSettingsForm() {
    if (library->isLoaded()) library->unload();
    delete library;
}

void DVBSettingsForm::initLibrary() {
    if (initialised) return;
    initialised = true;
}

bool DVBSettingsForm::libraryLoaded() const { return library->isLoaded(); }

void DVBSettingsForm::UnInit() {
    if (library->isLoaded()) library->unload();
    initialised = false;
}

void DVBSettingsForm::Tune() { emit Tuned(0, 0); }

void DVBSettingsForm::SigChanged(int level, int quality) {
    ui.siglvl->setValue(level);
    ui.sigqua->setValue(quality);
}

void DVBSettingsForm::finishEvent(int) {}

void DVBSettingsForm::LOFChange(int) {}

void DVBSettingsForm::ProvChange(int) {}

void DVBSettingsForm::getdvbstat() {}
