// The DVB window under the connect dialog, offscreen, against fake DVB
// libraries: the form and its button rules, the card choice and a restart
// of the library, what init receives, results, polling, Ok and Cancel, and
// the libraries the window must refuse.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QGroupBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QSpinBox>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/dynlib.h"
#include "tests/ui/dvb/fake_dvb.h"
#include "tests/ui/support/ui_testing.h"
#include "ui/dvbsettingsform.h"
#include "ui/mycoolthread.h"
#include "ui/qrconnectform.h"
#include "ui/statform.h"

namespace {

using journal = std::vector<std::string>;

testing::Environment* const qt = testing::AddGlobalTestEnvironment(new ui_testing::qt_environment);

class UiDvbWindow : public ::testing::Test {
protected:
    void SetUp() override {
        old_dir = dynlib_search_dir();
        wd.write("libdvb.so", "");  // what the connect dialog looks for
        use("full");
    }
    void TearDown() override {
        if (form) {
            delete form->statForm;
            delete form->thread;
            delete form->subscriptions;
            form.reset();
        }
        dynlib_set_search_dir(old_dir);
    }
    // The window loads libdvb.so from this variant's folder; the test holds
    // it too, so that its state outlives the window's unloading.
    void use(const std::string& variant) {
        const std::string dir = std::string(QUORIN_TEST_LIBS) + "/dvb_" + variant;
        dynlib_set_search_dir(dir);
        void* lib = dlopen((dir + "/libdvb.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        fake = lib ? reinterpret_cast<fake_dvb_state_fn*>(dlsym(lib, "FakeDvb"))() : &absent;
        fake->reset();
    }
    QrConnectForm& build(const std::string& dvb_keys = "") {
        wd.write("quorin.conf", "[server]\nport=2080\n[remote]\nname=quorin\nserver=192.0.2.1:25555\nlogin=alice\n"
                                "passwd=x\n[local]\nremote=quorin\nservice_int=2\nport=127.0.0.1:1080\n");
        wd.write("Subscriptions.ini", "[alice]\n" + dvb_keys);
        form = std::make_unique<QrConnectForm>();
        dvb = form->dvbForm;
        QObject::connect(dvb, &DVBSettingsForm::Tuned, [this](int l, int q) { tuned.push_back({l, q}); });
        return *form;
    }
    journal take() {
        journal j;
        j.swap(fake->journal);
        return j;
    }
    QStringList cards() const {
        QStringList t;
        for (int i = 0; i < dvb->ui.DVBCardList->count(); ++i) t << dvb->ui.DVBCardList->itemText(i);
        return t;
    }

    ui_testing::working_dir wd;
    ui_testing::modal_script script;
    std::string old_dir;
    fake_dvb absent;
    fake_dvb* fake = nullptr;
    std::unique_ptr<QrConnectForm> form;
    DVBSettingsForm* dvb = nullptr;
    std::vector<std::pair<int, int>> tuned;
};

TEST_F(UiDvbWindow, FormLnbAndDiseqcButtons) {
    build();
    auto& u = dvb->ui;
    // The keys' defaults over the form's.
    EXPECT_EQ(std::vector<int>({u.freq->value(), u.sr->value(), u.pid->value(), u.pol->currentIndex()}),
              std::vector<int>({11145000, 22222000, 101, 1}));

    // The LNB types put their presets over hand-made values.
    const std::pair<int, std::vector<int>> lnb[] = {
        {1, {10750000, 10750000, 0}}, {2, {5150000, 5150000, 0}}, {0, {9750000, 10600000, 11700000}}};
    for (const auto& [type, lofs] : lnb) {
        u.lof1->setValue(1000);
        u.lnbtype->setCurrentIndex(type);
        EXPECT_EQ(std::vector<int>({u.lof1->value(), u.lof2->value(), u.lofsw->value()}), lofs) << type;
    }
    dvb->LOFChange(3);
    EXPECT_EQ(u.lof2->value(), 10600000);

    QAbstractButton* positions[] = {u.rbDiseqSat1, u.rbDiseqSat2, u.rbDiseqSat3, u.rbDiseqSat4};
    const struct {
        QRadioButton* type;
        std::vector<bool> enabled;
        int checked;
    } clicks[] = {{u.rbDisec12, {true, true, true, true}, 1},
                  {u.rbDisecNone, {false, false, false, false}, 1},
                  {u.rbDisecSimple, {true, true, false, false}, 1}};
    EXPECT_EQ(u.diseqtype->checkedId(), 0);
    EXPECT_FALSE(u.rbDiseqSat1->isEnabled() || u.rbDiseqSat4->isEnabled());
    for (const auto& c : clicks) {
        u.rbDiseqSat2->setChecked(true);
        c.type->click();
        std::vector<bool> enabled;
        for (QAbstractButton* b : positions) enabled.push_back(b->isEnabled());
        EXPECT_EQ(enabled, c.enabled) << c.type->text().toStdString();
        EXPECT_EQ(u.diseqsat->checkedId(), c.type == u.rbDisecNone ? 2 : c.checked);
    }
    EXPECT_EQ(u.diseqtype->checkedId(), 1);
}

TEST_F(UiDvbWindow, CardChoiceAndARestartOfTheLibrary) {
    QrConnectForm& f = build("DVB\\CARD=Card B\n");
    EXPECT_EQ(take(), journal()) << "DVB is off: nothing is loaded";
    // The keys are loaded before the library lists its cards: the card is
    // still the subscription's.
    f.ShowDVBSettingsForm();
    EXPECT_EQ(take(), journal({"GetCardCount(Kestrix.dll)", "GetCardName(0)", "GetCardName(1)"}));
    EXPECT_EQ(cards(), (QStringList{"Card A", "Card B"}));
    EXPECT_EQ(dvb->ui.DVBCardList->currentText(), "Card B");

    const struct {
        int card, start_result;
        journal calls;
        int current;
    } steps[] = {
        {1, 1, {"StartCard(1)", "init", "GetStat"}, 1},
        {1, 1, {"init", "GetStat"}, 1},  // the started card is left alone
        {0, 1, {"DvbStop", "StartCard(0)", "init", "GetStat"}, 0},
        {1, 0, {"DvbStop", "StartCard(1)"}, -1},
        {1, 1, {"StartCard(1)", "init", "GetStat"}, 1},
    };
    for (const auto& s : steps) {
        fake->start_result = s.start_result;
        dvb->ui.DVBCardList->setCurrentIndex(s.card);
        tuned.clear();
        dvb->Tune();
        EXPECT_EQ(take(), s.calls) << s.card;
        EXPECT_EQ(dvb->currentCard, s.current);
        EXPECT_EQ(tuned, (std::vector<std::pair<int, int>>{s.current < 0 ? std::pair(0, 0) : std::pair(55, 80)}));
    }

    // A restart leaves no card, list, preset or connection behind.
    dvb->UnInit();
    EXPECT_EQ(take(), journal({"DvbStop"}));
    EXPECT_FALSE(dvb->libraryLoaded());
    EXPECT_EQ(dvb->currentCard, -1);
    EXPECT_TRUE(cards().isEmpty());
    wd.write("Satproviders.ini", "[Sat]\nTP\\FREQ=12000000\n");
    for (int round = 0; round < 2; ++round) {
        dvb->initLibrary();
        dvb->initLibrary();
        EXPECT_EQ(take(), journal({"GetCardCount(Kestrix.dll)", "GetCardName(0)", "GetCardName(1)"}));
        EXPECT_EQ(cards(), (QStringList{"Card A", "Card B"}));
        EXPECT_EQ(dvb->ui.DVBCardList->currentText(), "Card B");
        EXPECT_EQ(dvb->ui.prov_combo->count(), 2);
        dvb->accept();  // Ok: one finishEvent, so one tune, which starts the card afresh
        EXPECT_EQ(take(), journal({"StartCard(1)", "init", "GetStat"})) << round;
        EXPECT_EQ(f.subscriptions->value("DVB/CARD").toString(), "Card B");
        dvb->UnInit();
        take();
    }
}

TEST_F(UiDvbWindow, WhatInitReceivesAndWhatItAnswers) {
    QrConnectForm& f = build("DVB\\Enabled=true\nDVB\\SATIP=10.0.0.1\nDVB\\DISEQ_TYPE=1\nDVB\\DISEQ_SAT=2\n"
                             "DVB\\PID=257\nDVB\\MOD=5\n");
    EXPECT_TRUE(f.ui.DVBConnect->isChecked());
    EXPECT_EQ(fake->init_values,
              std::vector<uint32_t>({11145000, 22222000, 1, 0, 9750000, 10600000, 11700000, 5, 0, 0, 0, 1, 2, 257,
                                     8200, 0x0100000A, 0}));
    EXPECT_EQ(fake->init_reader, "Kestrix.dll");
    EXPECT_EQ(f.ui.siglvl->value() * 1000 + f.ui.sigqua->value(), 55080);
    EXPECT_EQ(dvb->ui.siglvl->value(), 55);
    // A Circular type loaded over Universal brings its own LOF values.
    f.subscriptions->setValue("DVB/LNBTYPE", 1);
    f.subscriptions->setValue("DVB/LOF1", 123000);
    f.load_dvb_settings();
    EXPECT_EQ(fake->init_values[4] + fake->init_values[6], 10750000u);

    const std::pair<int, std::pair<int, int>> results[] = {{0x100, {55, 80}}, {3, {0, 0}}, {0x203, {0, 0}}};
    for (const auto& [result, signal] : results) {
        fake->init_result = result;
        tuned.clear();
        dvb->Tune();
        EXPECT_EQ(tuned, (std::vector<std::pair<int, int>>{signal})) << result;
        EXPECT_EQ(dvb->ui.sigqua->value(), signal.second);
    }

    // A poll re-tunes at once on quality 0, before it reports.
    fake->init_result = 0;
    fake->filter_bytes = 7;
    fake->filter_packets = 6;
    fake->crc_errors = 5;
    fake->discontinuities = 4;
    fake->packets = 3;
    QObject::connect(dvb, &DVBSettingsForm::DVBStatChanged,
                     [&](int l, int q, uint64_t p, uint64_t b, uint64_t c, uint64_t d, uint64_t a, uint64_t t) {
                         QStringList v;
                         for (uint64_t x : {uint64_t(l), uint64_t(q), p, b, c, d, a, t}) v << QString::number(x);
                         fake->journal.push_back("DVBStatChanged " + v.join(' ').toStdString());
                     });
    take();
    dvb->getdvbstat();
    EXPECT_EQ(take(), journal()) << "not polling yet";
    dvb->polling = true;
    dvb->getdvbstat();
    EXPECT_EQ(take(), journal({"GetStat", "GetFilterStat", "DVBStatChanged 55 80 6 7 5 4 3 7"}));
    fake->quality = 0;
    dvb->getdvbstat();
    EXPECT_EQ(take(), journal({"GetStat", "GetFilterStat", "init", "GetStat", "DVBStatChanged 55 0 6 7 5 4 3 7"}));
}

TEST_F(UiDvbWindow, OkStoresCancelRestores) {
    fake->cards = {"Only card"};
    wd.write("Satproviders.ini", "[Sat]\nTP\\FREQ=12000000\nTP\\SR=27500000\nTP\\POL=0\nTP\\LNB=2\n");
    QrConnectForm& f = build();
    f.ShowDVBSettingsForm();
    auto& u = dvb->ui;
    ASSERT_EQ(u.prov_combo->count(), 2);
    u.prov_combo->setCurrentIndex(1);
    EXPECT_EQ(std::vector<int>({u.freq->value(), u.sr->value(), u.pol->currentIndex(), u.lnbtype->currentIndex(),
                                u.lof1->value()}),
              std::vector<int>({12000000, 27500000, 0, 2, 5150000}));
    u.prov_combo->setCurrentIndex(0);  // no keys yet: the saved entry is all zeros
    EXPECT_EQ(u.freq->value() + u.sr->value(), 0);

    // Cancel brings every widget back from the keys.
    u.freq->setValue(10000000);
    u.satip->setText("10.9.9.9");
    u.rbDisec12->click();
    u.pid->setValue(300);
    dvb->reject();
    EXPECT_EQ(std::vector<int>({u.freq->value(), u.pid->value(), u.diseqtype->checkedId(), u.lnbtype->currentIndex()}),
              std::vector<int>({11145000, 101, 0, 0}));
    EXPECT_EQ(u.satip->text(), "");
    EXPECT_FALSE(u.rbDiseqSat1->isEnabled());

    // Ok tunes, then keeps the values; one card is not named.
    u.freq->setValue(11766000);
    u.rbDisecSimple->click();
    take();
    dvb->accept();
    EXPECT_EQ(take(), journal({"StartCard(0)", "init", "GetStat"}));
    QSettings& keys = *f.subscriptions;
    EXPECT_EQ(keys.value("DVB/FREQ").toInt(), 11766000);
    EXPECT_EQ(keys.value("DVB/DISEQ_TYPE").toInt() * 10 + keys.value("DVB/DISEQ_SAT").toInt(), 11);
    EXPECT_FALSE(keys.contains("DVB/CARD"));
    u.prov_combo->setCurrentIndex(1);
    u.prov_combo->setCurrentIndex(0);
    EXPECT_EQ(u.freq->value(), 11766000) << "the saved entry follows the keys";

    // An address with a line break is refused and the stored one kept.
    keys.setValue("DVB/SATIP", "10.1.1.1");
    u.satip->setText("10.2.2.2\n[x]");
    dvb->accept();
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_TRUE(script.questions[0].text.endsWith(
        "Sat provider  IP \"10.2.2.2\\n[x]\": a line break or a NUL character would add lines of its own to the "
        "configuration"));
    EXPECT_EQ(keys.value("DVB/SATIP").toString(), "10.1.1.1");
    EXPECT_EQ(u.satip->text(), "10.1.1.1");
}

TEST_F(UiDvbWindow, LibrariesTheWindowCannotUse) {
    const struct {
        const char* variant;
        int count, init_result;
        bool loaded, present;
        QStringList cards;
        journal calls;  // initLibrary, then the two tunes of the dialog's construction
    } rows[] = {
        {"none", -1, 0, false, false, {}, {}},
        {"partial", -1, 0, false, false, {}, {}},
        {"noname", -1, 0, false, false, {}, {}},
        {"full", 0, 0, true, false, {}, {"GetCardCount(Kestrix.dll)", "init", "GetStat", "init", "GetStat"}},
        {"probe", -1, 0, true, true, {"Custom Kestrix"}, {"init", "StartCard(0)", "init", "GetStat", "init", "GetStat"}},
        {"probe", -1, 1, true, false, {}, {"init", "init", "init"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.variant) + " " + std::to_string(r.count));
        use(r.variant);
        fake->count = r.count;
        fake->init_result = r.init_result;
        QrConnectForm& f = build("DVB\\Enabled=true\n");
        EXPECT_EQ(dvb->libraryLoaded(), r.loaded);
        EXPECT_EQ(dvb->tunerPresent, r.present);
        EXPECT_EQ(cards(), r.cards);
        EXPECT_EQ(take(), r.calls);
        if (std::string(r.variant) == "probe" && !r.init_result) {
            dvb->UnInit();
            dvb->initLibrary();
            EXPECT_EQ(take(), journal({"DvbStop", "init"}));
            EXPECT_EQ(fake->init_values, std::vector<uint32_t>(17, 0)) << "the probe";
        }
        // Without a tuner the DVB box cannot stay checked, and Ok saves nothing.
        f.ui.DVBConnect->setChecked(true);
        f.CheckDVB();
        EXPECT_EQ(f.ui.DVBConnect->isChecked(), r.present);
        EXPECT_EQ(f.subscriptions->value("DVB/Enabled").toBool(), true);
        dvb->accept();
        EXPECT_EQ(f.subscriptions->contains("DVB/FREQ"), r.present);
        if (!r.loaded) {
            tuned.clear();
            dvb->Tune();
            EXPECT_EQ(tuned, (std::vector<std::pair<int, int>>{{0, 0}}));
        }
        TearDown();
    }
}

// The connect dialog is modal: a window of no parent would get no click
// while it is shown, and that is the only time the DVB window opens.
TEST_F(UiDvbWindow, UsableWhileTheModalConnectDialogIsShown) {
    if (!ui_testing::run_on_x()) return;
    fake->cards = {"Only card"};
    QrConnectForm& f = build("DVB\\Enabled=true\n");
    f.show();
    ASSERT_TRUE(f.isModal());
    ASSERT_TRUE(ui_testing::x_click(f.ui.DVBSettingsButton));
    ASSERT_TRUE(ui_testing::wait_for([&] { return dvb->isVisible(); }, 10)) << "the button got no click";
    auto& u = dvb->ui;
    ASSERT_TRUE(ui_testing::x_click(u.rbDisec12));
    EXPECT_TRUE(ui_testing::wait_for([&] { return u.rbDisec12->isChecked(); }, 10)) << "a click in the window";
    EXPECT_TRUE(u.rbDiseqSat4->isEnabled());
    take();
    ASSERT_TRUE(ui_testing::x_click(u.buttonBox->button(QDialogButtonBox::Ok)));
    EXPECT_TRUE(ui_testing::wait_for([&] { return !dvb->isVisible(); }, 10));
    EXPECT_EQ(take(), journal({"init", "GetStat"})) << "Ok tunes the card started";
    EXPECT_EQ(f.subscriptions->value("DVB/DISEQ_TYPE").toInt(), 2);
    EXPECT_TRUE(f.isVisible());
}

TEST_F(UiDvbWindow, CheckDvbTunesTwiceAndNeedsALogin) {
    QrConnectForm& f = build();
    f.ui.DVBConnect->setChecked(true);
    take();
    f.CheckDVB();
    journal calls = take();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "init"), 2);
    EXPECT_TRUE(f.subscriptions->value("DVB/Enabled").toBool());
    EXPECT_TRUE(f.ui.DVBConnect->isChecked());
    f.login.clear();
    f.CheckDVB();
    EXPECT_FALSE(f.ui.DVBConnect->isChecked());
}

}  // namespace
