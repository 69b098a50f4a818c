#include "ui/dvbsettingsform.h"

#include <QDebug>
#include <QLibrary>
#include <QSettings>
#include <QSignalBlocker>

#include <algorithm>

#include "platform/dynlib.h"
#include "ui/core/settings_files.h"
#include "ui/core/settings_transfer.h"
#include "ui/modal.h"
#include "ui/qrconnectform.h"

// A window of its own over the connect dialog: that dialog is modal, and
// the only time this window opens is while it is shown, so a window of no
// parent would get no click.
DVBSettingsForm::DVBSettingsForm(QrConnectForm* owner_form)
    : QDialog(owner_form), library(new QLibrary), owner(owner_form) {
    ui.setupUi(this);
    ui.diseqtype->setId(ui.rbDisecNone, diseqc_none_id);
    ui.diseqtype->setId(ui.rbDisecSimple, diseqc_simple_id);
    ui.diseqtype->setId(ui.rbDisec12, diseqc_committed_id);
    ui.diseqsat->setId(ui.rbDiseqSat1, 1);
    ui.diseqsat->setId(ui.rbDiseqSat2, 2);
    ui.diseqsat->setId(ui.rbDiseqSat3, 3);
    ui.diseqsat->setId(ui.rbDiseqSat4, 4);
}

DVBSettingsForm::~DVBSettingsForm() {
    stopLibrary();
    delete library;
    delete providers;
}

QString DVBSettingsForm::libraryPath() {
    return QString::fromStdString(dynlib_search_dir() + "/" + dynlib_file_name(DVB_DLL));
}

bool DVBSettingsForm::libraryLoaded() const { return library->isLoaded(); }

void DVBSettingsForm::stopLibrary() {
    if (library->isLoaded()) {
        functions.DvbStop();
        library->unload();
    }
    functions = DvbFunctions();
}

// ------------------------------------------------------------- the library

void DVBSettingsForm::initLibrary() {
    if (initialised) return;
    initialised = true;
    library->setFileName(libraryPath());
    if (!library->isLoaded()) {
        QStringList missing;
        const bool usable = dvb_resolve(
            [this](const char* name) { return reinterpret_cast<void*>(library->resolve(name)); }, &functions,
            &missing);
        // A library without a function the window calls is no library.
        if (!usable && library->isLoaded()) {
            qDebug() << "DVB library" << library->fileName() << "lacks" << missing;
            library->unload();
        }
    }
    tunerPresent = library->isLoaded();
    if (!tunerPresent) return;

    ui.DVBCardList->clear();
    if (functions.GetCardCount) {
        const int n = std::min(functions.GetCardCount(KESTRIX_DLL), dvb_cards_max);
        if (n <= 0) {
            tunerPresent = false;
            return;
        }
        cardCount = n;
        for (int i = 0; i < n; ++i) {
            char name[dvb_card_name_bytes] = {};
            functions.GetCardName(i, name);
            name[dvb_card_name_bytes - 1] = 0;
            ui.DVBCardList->addItem(QString::fromLatin1(name));
        }
    } else {
        if (!dvb_init_tuned_result(functions.call_init(dvb_probe_args()))) {
            tunerPresent = false;
            return;
        }
        cardCount = 1;
        ui.DVBCardList->addItem(tr("Custom Kestrix"));
    }
    // The subscription's card, also when its keys were loaded before the
    // list was there.
    if (!wantedCard_.isEmpty()) selectCard(wantedCard_);

    // Once each, also after UnInit and a new start of the library.
    connect(this, SIGNAL(Tuned(int, int)), this, SLOT(SigChanged(int, int)), Qt::UniqueConnection);
    connect(this, SIGNAL(finished(int)), this, SLOT(finishEvent(int)), Qt::UniqueConnection);
    fillPresets();
}

void DVBSettingsForm::fillPresets() {
    delete providers;
    providers = new QSettings(settings_location(sat_providers_file), QSettings::IniFormat);
    QStringList names;
    const QList<SatPreset> presets = read_sat_presets(*providers, &names);
    qDebug() << names;
    const QSignalBlocker quiet(ui.prov_combo);
    while (ui.prov_combo->count() > 1) ui.prov_combo->removeItem(ui.prov_combo->count() - 1);
    for (const SatPreset& p : presets) ui.prov_combo->addItem(p.text, p.values);
}

void DVBSettingsForm::UnInit() {
    stopLibrary();
    initialised = false;
    // Nothing of the stopped library's survives it: no card runs, the next
    // start lists the cards and presets again and connects once.
    tunerPresent = false;
    currentCard = -1;
    cardCount = 0;
    ui.DVBCardList->clear();
    {
        const QSignalBlocker quiet(ui.prov_combo);
        while (ui.prov_combo->count() > 1) ui.prov_combo->removeItem(ui.prov_combo->count() - 1);
        ui.prov_combo->setCurrentIndex(0);
    }
    delete providers;
    providers = nullptr;
    disconnect(this, SIGNAL(Tuned(int, int)), this, SLOT(SigChanged(int, int)));
    disconnect(this, SIGNAL(finished(int)), this, SLOT(finishEvent(int)));
}

DvbWindowValues DVBSettingsForm::windowValues() const {
    DvbWindowValues v;
    v.frequency = ui.freq->value();
    v.symbol_rate = ui.sr->value();
    v.polarisation = ui.pol->currentIndex();
    v.lof1 = ui.lof1->value();
    v.lof2 = ui.lof2->value();
    v.lof_switch = ui.lofsw->value();
    v.modulation = ui.modulation->currentIndex();
    v.diseqc_type_id = ui.diseqtype->checkedId();
    v.diseqc_sat_id = ui.diseqsat->checkedId();
    v.pid = ui.pid->value();
    v.udp_port = owner ? owner->port : 0;
    v.sat_ip = ui.satip->text();
    v.verbose = ui.dvbdebug->isChecked();
    return v;
}

void DVBSettingsForm::Tune() {
    if (!initialised) initLibrary();
    if (!library->isLoaded()) {
        emit Tuned(0, 0);
        return;
    }
    const int card = ui.DVBCardList->currentIndex();
    if (card != currentCard) {
        if (currentCard != -1) functions.DvbStop();
        if (!dvb_card_started(functions.StartCard(card))) {
            currentCard = -1;
            emit Tuned(0, 0);
            return;
        }
        currentCard = card;
    }
    const DvbInitArgs args = dvb_init_args(windowValues());
    // The library takes PIDs 0-8191 and a port it can send to.
    if (args.pid > dvb_pid_max) qDebug("Invalid pid");
    if (args.port_net == 0) qDebug("Invalid port");
    const int result = functions.call_init(args);
    if (dvb_init_tuned_result(result)) {
        DvbStatSample s;
        functions.GetStat(&s.level, &s.quality, &s.packets, &s.discontinuities, &s.spare);
        emit Tuned(s.level, s.quality);
        return;
    }
    qDebug("Error init DVB: %i ", result & 0xFF);
    ui.siglvl->setValue(0);
    ui.sigqua->setValue(0);
    emit Tuned(0, 0);
}

void DVBSettingsForm::getdvbstat() {
    if (!polling || !library->isLoaded()) return;
    const DvbStatSample s = functions.poll();
    if (s.quality == 0) Tune();
    const DvbStatFigures f = dvb_stat_figures(s);
    emit DVBStatChanged(f.lvl, f.qua, f.packets_recvd, f.bytes_recvd, f.crc_errs, f.disc, f.pkt, f.filt_traf);
}

// ------------------------------------------------------------- the window

void DVBSettingsForm::selectCard(const QString& name) {
    const int at = ui.DVBCardList->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
    ui.DVBCardList->setCurrentIndex(at >= 0 ? at : 0);
}

void DVBSettingsForm::showSettings(const DvbSettings& d) {
    ui.prov_combo->setCurrentIndex(0);
    wantedCard_ = d.card;
    if (!d.card.isEmpty()) selectCard(d.card);
    ui.freq->setValue(d.freq);
    ui.sr->setValue(d.sr);
    ui.pol->setCurrentIndex(d.pol);
    ui.pid->setValue(d.pid);
    ui.satip->setText(d.satip);
    ui.lof1->setValue(d.lof1);
    ui.lof2->setValue(d.lof2);
    ui.lofsw->setValue(d.lofsw);
    // After the LOF values: a changed type puts its own preset over them.
    ui.lnbtype->setCurrentIndex(d.lnbtype);
    ui.modulation->setCurrentIndex(d.mod);
    if (QAbstractButton* b = ui.diseqtype->button(d.diseq_type)) b->setChecked(true);
    if (QAbstractButton* b = ui.diseqsat->button(d.diseq_sat)) b->setChecked(true);
    const auto enabled = diseqc_positions_enabled(ui.diseqtype->checkedId());
    for (int i = 0; i < diseqc_positions; ++i) ui.diseqsat->button(i + 1)->setEnabled(enabled[size_t(i)]);
}

DvbSettings DVBSettingsForm::settings() const {
    DvbSettings d;
    d.card = ui.DVBCardList->currentText();
    d.freq = ui.freq->value();
    d.sr = ui.sr->value();
    d.pol = ui.pol->currentIndex();
    d.pid = ui.pid->value();
    d.satip = ui.satip->text();
    d.lnbtype = ui.lnbtype->currentIndex();
    d.lof1 = ui.lof1->value();
    d.lof2 = ui.lof2->value();
    d.lofsw = ui.lofsw->value();
    d.mod = ui.modulation->currentIndex();
    d.diseq_type = ui.diseqtype->checkedId();
    d.diseq_sat = ui.diseqsat->checkedId();
    return d;
}

void DVBSettingsForm::setSavedPreset(const QVariantMap& values) { ui.prov_combo->setItemData(0, values); }

void DVBSettingsForm::SigChanged(int level, int quality) {
    ui.siglvl->setValue(level);
    ui.sigqua->setValue(quality);
}

void DVBSettingsForm::finishEvent(int result) {
    if (result == 0) {
        owner->load_dvb_settings();
        return;
    }
    // The address is stored as one line of text, as every value is.
    const conf_text_fault fault = conf_text_check(ui.satip->text());
    if (fault == conf_text_fault::line_break) {
        modal::tell_refused(this, {refusal_line(ui.label_32->text(), ui.satip->text(), conf_text_fault_text(fault))});
        ui.satip->setText(owner->subscriptions->value(key_dvb_satip, QString()).toString());
    }
    Tune();
    const DvbSettings d = settings();
    const bool with_card = dvb_card_is_stored(cardCount);
    store_dvb_settings_keys(*owner->subscriptions, d, with_card);
    if (with_card) wantedCard_ = d.card;
    // "Saved settings" is what was just saved, not what the last load found.
    setSavedPreset(saved_sat_preset(*owner->subscriptions));
}

void DVBSettingsForm::LOFChange(int type) {
    const std::optional<LnbPreset> p = lnb_preset(type);
    if (!p) return;
    ui.lof1->setValue(p->lof1);
    ui.lof2->setValue(p->lof2);
    ui.lofsw->setValue(p->lof_switch);
}

void DVBSettingsForm::ProvChange(int index) {
    const QVariantMap values = ui.prov_combo->itemData(index).toMap();
    const int lnb = sat_preset_value(values, preset_lnb);
    ui.freq->setValue(sat_preset_value(values, preset_freq));
    ui.sr->setValue(sat_preset_value(values, preset_sr));
    ui.pol->setCurrentIndex(sat_preset_value(values, preset_pol));
    ui.lnbtype->setCurrentIndex(lnb);
    LOFChange(lnb);
}
