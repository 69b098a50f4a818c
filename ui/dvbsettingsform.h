// The DVB tuner window. This class carries what the connect road wires up:
// the signals and slots of the connect dialog's tables, the library flags
// and the provider address field; tuning through the outside DVB library
// comes with the DVB issue, under the same names.
#pragma once

#include <QDialog>

#include <cstdint>

class QLibrary;
class QLineEdit;
class QProgressBar;
class QSettings;
class QrConnectForm;

class DVBSettingsForm : public QDialog {
    Q_OBJECT

public:
    explicit DVBSettingsForm(QrConnectForm* owner);
    ~DVBSettingsForm() override;

    // Loads the outside DVB library once (until UnInit).
    void initLibrary();
    bool libraryLoaded() const;

    struct Widgets {
        QLineEdit* satip;
        QProgressBar* siglvl;
        QProgressBar* sigqua;
    } ui;

    bool tunerPresent = false;
    bool polling = false;
    QSettings* providers = nullptr;
    bool initialised = false;
    int currentCard = -1;
    int cardCount = 0;
    QLibrary* library;
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
};
