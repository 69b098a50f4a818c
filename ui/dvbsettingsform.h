// The DVB tuner window: the card, the transponder, the LNB, the DiSEqC
// switch, the PID and the satellite provider's address, kept per
// subscription under the "DVB/" keys, with presets from "Satproviders.ini";
// and the binding to the outside DVB library (libdvb.so), which it loads,
// tunes and polls on the GUI thread.
#pragma once

#include <QDialog>

#include <cstdint>

#include "ui/core/dvb_settings.h"
#include "ui_dvbsettingsform.h"

class QLibrary;
class QSettings;
class QrConnectForm;

class DVBSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit DVBSettingsForm(QrConnectForm* owner);
    ~DVBSettingsForm() override;
    DVBSettingsForm(const DVBSettingsForm&) = delete;
    DVBSettingsForm& operator=(const DVBSettingsForm&) = delete;

    // Loads the DVB library once (until UnInit), lists its cards and the
    // presets.
    void initLibrary();
    bool libraryLoaded() const;
    // The file the library is loaded from: libdvb.so in the folder the
    // program's companion libraries come from.
    static QString libraryPath();

    // The owner's loading of the "DVB/" keys into the widgets, up to the
    // DiSEqC buttons; the card named by "DVB/CARD" is chosen again when the
    // library lists its cards later.
    void showSettings(const DvbSettings& d);
    // The widgets' values as the keys keep them.
    DvbSettings settings() const;
    // The "Saved settings" entry's values.
    void setSavedPreset(const QVariantMap& values);

    Ui_DVBSettingsForm ui;
    bool tunerPresent = false;
    bool polling = false;
    QSettings* providers = nullptr;
    bool initialised = false;
    int currentCard = -1;
    int cardCount = 0;
    QLibrary* library;
    DvbFunctions functions;
    QrConnectForm* owner;

signals:
    void Tuned(int level, int quality);
    void DVBStatChanged(int lvl, int qua, uint64_t packets_recvd, uint64_t bytes_recvd, uint64_t crc_errs,
                        uint64_t disc, uint64_t pkt, uint64_t filt_traf);

public slots:
    void UnInit();
    void Tune();
    void SigChanged(int level, int quality);
    void finishEvent(int result);
    void LOFChange(int type);
    void ProvChange(int index);
    void getdvbstat();

private:
    DvbWindowValues windowValues() const;
    void selectCard(const QString& name);
    void fillPresets();
    void stopLibrary();

    // The card the subscription names, for a list that is filled later.
    QString wantedCard_;
};
