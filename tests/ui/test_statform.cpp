// The statistics window: its form as built, opacity and on-top, the window
// state, the DVB figures, the settings page, and its console client against
// a console played by the test (lines however the reads cut them, commands
// one prompt at a time).
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include "tests/ui/stat_testing.h"
#include "ui/statform.h"
#include "ui/statplot.h"

namespace {

class UiStatForm : public ::testing::Test {
protected:
    void SetUp() override {
        stat_test_app();
        form = std::make_unique<StatForm>(nullptr);
    }
    std::unique_ptr<StatForm> form;
};

TEST_F(UiStatForm, FormAsBuilt) {
    struct {
        const char* object;
        const char* property;
        QVariant value;
    } const expected[] = {
        {"StatForm", "windowTitle", "Quorin v.5"},
        {"StatForm", "size", QSize(347, 251)},
        {"stat", "count", 5},
        {"stat", "currentIndex", 0},
        {"server", "editable", false},
        {"speed_in", "editable", true},
        {"speed_out", "editable", true},
        {"is_update", "text", "update every"},
        {"is_update", "checked", false},
        {"bal_timeout", "minimum", 1},
        {"bal_timeout", "maximum", 99},
        {"bal_timeout", "value", 30},
        {"bal_timeout", "suffix", " min"},
        {"apply_but", "enabled", false},
        {"update_but", "enabled", false},
        {"cancel_but", "enabled", false},
        {"login", "text", "requesting.."},
        {"expire", "text", "requesting.."},
        {"bal_label", "text", "Traffic rest:"},
        {"groupBox", "title", "Recieved"},
        {"udpin", "text", "0"},
        {"udpin", "minimumWidth", 60},
        {"pktoutlossprc", "text", "0"},
        {"pktout_2", "text", "Uptime:"},
        {"uptime", "text", ""},
        {"siglvl", "maximum", 100},
        {"siglvl", "value", 0},
        {"sigqua", "maximumWidth", 300},
        {"label_14", "text", "dicsonts:"},
        {"opacity", "minimum", 25},
        {"opacity", "maximum", 100},
        {"opacity", "value", 100},
        {"ontop", "checkable", true},
        {"ontop", "checked", false},
        {"ontop", "text", "on top"},
    };
    for (const auto& e : expected) {
        QObject* o = std::string(e.object) == "StatForm" ? form.get() : form->findChild<QObject*>(e.object);
        ASSERT_NE(o, nullptr) << e.object;
        EXPECT_EQ(o->property(e.property), e.value) << e.object << "." << e.property;
    }
    const char* const tabs[] = {"Subscription", "Statistics", "Graph (recv)", "Graph (send)", "DVB"};
    for (int i = 0; i < 5; i++) EXPECT_EQ(form->ui.stat->tabText(i).toStdString(), tabs[i]);
    EXPECT_EQ(form->incomingPlot()->parentWidget(), form->ui.stat_in_tab);
    EXPECT_EQ(form->outgoingPlot()->parentWidget(), form->ui.stat_out_tab);

    form->show();
    form->ui.pushButton->click();  // "Hide"
    EXPECT_FALSE(form->isVisible());
}

TEST_F(UiStatForm, OpacityAndOnTop) {
    form->ui.opacity->setValue(25);
    EXPECT_NEAR(form->windowOpacity(), 0.25, 1.0 / 255);
    form->ui.opacity->setValue(10);
    EXPECT_EQ(form->ui.opacity->value(), 25);

    for (bool visible : {true, false}) {
        form->setGeometry(QRect(150, 120, 900, 600));
        form->setVisible(visible);
        const QRect before = form->geometry();
        for (bool on : {true, false}) {
            form->ui.ontop->setChecked(on);
            EXPECT_EQ(form->geometry(), before) << "visible " << visible << " on top " << on;
            EXPECT_EQ(form->isVisible(), visible) << "on top " << on;
            EXPECT_EQ(bool(form->windowFlags() & Qt::WindowStaysOnTopHint), on);
        }
    }
}

TEST_F(UiStatForm, WindowStateInInterfaceIni) {
    QTemporaryDir dir;
    QSettings ini(dir.filePath("Interface.ini"), QSettings::IniFormat);
    ini.setValue("ONTOP", true);
    ini.setValue("PAGE_INDEX", 2);
    EXPECT_FALSE(form->restoreWindowState(ini)) << "no position, nothing restored";
    EXPECT_FALSE(form->ui.ontop->isChecked());
    EXPECT_EQ(form->ui.stat->currentIndex(), 0);

    form->ui.opacity->setValue(29);
    form->setGeometry(QRect(40, 50, 420, 310));
    form->ui.ontop->setChecked(true);
    form->ui.bal_timeout->setValue(5);
    form->ui.is_update->setChecked(true);
    form->ui.stat->setCurrentIndex(3);
    form->saveWindowState(ini);
    ini.sync();

    StatForm restored(nullptr);
    ASSERT_TRUE(restored.restoreWindowState(ini));
    EXPECT_EQ(restored.ui.opacity->value(), 29) << "the slider comes back exactly, run after run";
    EXPECT_EQ(restored.geometry(), QRect(40, 50, 420, 310));
    EXPECT_TRUE(restored.ui.ontop->isChecked());
    EXPECT_TRUE(restored.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(restored.ui.bal_timeout->value(), 5);
    EXPECT_TRUE(restored.balanceTimer().isActive());
    EXPECT_EQ(restored.balanceTimer().interval(), 300000);
    EXPECT_EQ(restored.ui.stat->currentIndex(), 3);

    // Without DVB there are four pages; a stored fifth page changes nothing.
    StatForm no_dvb(nullptr);
    no_dvb.disableDvb();
    EXPECT_EQ(no_dvb.ui.stat->count(), 4);
    EXPECT_FALSE(no_dvb.ui.DVBStat->isEnabled());
    no_dvb.ui.stat->setCurrentIndex(1);
    ini.setValue("PAGE_INDEX", 4);
    ASSERT_TRUE(no_dvb.restoreWindowState(ini));
    EXPECT_EQ(no_dvb.ui.stat->currentIndex(), 1);
}

TEST_F(UiStatForm, DvbFigures) {
    form->SigChanged(40, 60);
    EXPECT_EQ(form->ui.siglvl->value(), 40);
    EXPECT_EQ(form->ui.sigqua->value(), 60);
    struct {
        uint64_t pkt_all, filt_traf;
        const char *pid_speed, *client_speed;
    } const steps[] = {{1000000, 4000000, "0Kbit", "0Kbit"}, {1001000, 4125000, "1504Kbit", "1000Kbit"}};
    for (const auto& s : steps) {
        form->DVBStatChanged(70, 80, 123456, 7654321, 3, 2, s.pkt_all, s.filt_traf);
        EXPECT_EQ(form->ui.pid_speed->text().toStdString(), s.pid_speed);
        EXPECT_EQ(form->ui.client_speed->text().toStdString(), s.client_speed);
    }
    EXPECT_EQ(form->ui.siglvl->value(), 70);
    EXPECT_EQ(form->ui.pkts->text().toStdString(), "123456");
    EXPECT_EQ(form->ui.bytes->text().toStdString(), "7654321");
    EXPECT_EQ(form->ui.disc->text().toStdString(), "2");
}

TEST_F(UiStatForm, SettingsPage) {
    form->ui.speed_in->addItem("64k", "64:128");
    form->ui.speed_in->addItem("2M", "2000000");
    form->ui.server->addItem("main", "10.1.1.1");
    form->ui.server->addItem("spare", "10.1.1.2");
    // The owner wires the three combos to settings_changed.
    QObject::connect(form->ui.server, SIGNAL(currentIndexChanged(QString)), form.get(), SLOT(settings_changed(QString)));
    QObject::connect(form->ui.speed_in, &QComboBox::editTextChanged, form.get(), &StatForm::settings_changed);
    form->ui.server->setCurrentIndex(1);
    EXPECT_TRUE(form->ui.apply_but->isEnabled());
    EXPECT_TRUE(form->ui.cancel_but->isEnabled());

    struct {
        const char* value;
        int index;
        const char* text;
    } const changes[] = {{"2000000", 1, "2M"}, {"64:128", 0, "64k"}, {"5000:9000", -1, "5000:9000"}};
    for (const auto& c : changes) {
        form->ui.speed_in->setEditText("typed");
        EXPECT_TRUE(form->ui.apply_but->isEnabled());
        form->ChangeSpeedIn(c.value);
        EXPECT_EQ(form->ui.speed_in->currentIndex(), c.index) << c.value;
        EXPECT_EQ(form->ui.speed_in->currentText().toStdString(), c.text) << c.value;
        EXPECT_FALSE(form->ui.apply_but->isEnabled());
        EXPECT_FALSE(form->ui.cancel_but->isEnabled());
    }
    form->ChangeServer("10.1.1.1");
    EXPECT_EQ(form->ui.server->currentIndex(), 0);
}

// The engine's console as the test plays it.
std::string line(uint64_t udp_in, uint64_t udp_out, uint64_t local_in, uint64_t local_out, uint32_t pin,
                 uint32_t lin, uint32_t pout, uint32_t lout) {
    return "[default][99]/" + std::to_string(udp_in) + "/" + std::to_string(udp_out) + "/" + std::to_string(local_in) +
           "/" + std::to_string(local_out) + "/" + std::to_string(pin) + "/" + std::to_string(lin) + "/0.00/" +
           std::to_string(pout) + "/" + std::to_string(lout) + "/0.00\n";
}

TEST_F(UiStatForm, ConsoleClient) {
    FakeConsole engine;
    std::vector<std::tuple<int, long long, long long, float>> icon;
    QObject::connect(form.get(), &StatForm::SetIcon,
                     [&](int received, long long in, long long out, float comp) { icon.emplace_back(received, in, out, comp); });
    form->startStat(engine.port());
    ASSERT_TRUE(stat_wait([&] { return engine.peer != nullptr; }));
    stat_wait([] { return false; }, 100);
    EXPECT_EQ(engine.received, "") << "nothing before the engine's greeting";
    engine.send("Quorin>");
    ASSERT_TRUE(stat_wait([&] { return engine.received == "show stat\n"; }));

    // Commands back to back leave one at a time, each after a prompt.
    form->ChangeSpeedIn("64:128");
    form->ChangeSpeedOut("4000:9000");
    form->send_restart();
    form->send_query();
    const std::vector<std::string> expected = {"show stat\n", "set speed_in 64:128\n", "set speed_out 4000:9000\n",
                                               "reset sessions\n", "show stat\n"};
    std::string sent = expected[0];
    for (size_t i = 1; i < expected.size(); i++) {
        stat_wait([] { return false; }, 50);
        EXPECT_EQ(engine.received, sent) << "command " << i << " left before the prompt";
        engine.send(i == 1 ? line(100, 200, 300, 400, 10, 1, 20, 2) + "Quorin>" : "Quorin>");
        sent += expected[i];
        ASSERT_TRUE(stat_wait([&] { return engine.received == sent; })) << engine.received;
    }
    ASSERT_EQ(form->incomingPlot()->sampleCount(), 1);
    EXPECT_EQ(form->ui.udpin->text().toStdString(), "100");
    EXPECT_EQ(form->ui.tcpin->text().toStdString(), "300");
    EXPECT_EQ(form->ui.pktinlossprc->text().toStdString(), "10.00 %");
    EXPECT_EQ(form->ui.compin->text().toStdString(), "75.00 %");
    EXPECT_EQ(form->ui.compout->text().toStdString(), "33.33 %");
    EXPECT_EQ(form->ui.comptotal->text().toStdString(), "57.14 %");

    // Two lines in one read are both shown, one per notification; a line
    // cut across reads is shown once whole.
    engine.send(line(1100, 1200, 1300, 1400, 20, 2, 30, 3) + line(2100, 2200, 2300, 2400, 30, 3, 40, 4));
    ASSERT_TRUE(stat_wait([&] { return form->incomingPlot()->sampleCount() == 3; }));
    EXPECT_EQ(form->ui.udpin->text().toStdString(), "2100");
    EXPECT_DOUBLE_EQ(form->incomingPlot()->values(StatPlot::compressed)[1], 8.0);
    EXPECT_DOUBLE_EQ(form->incomingPlot()->values(StatPlot::compressed)[0], 8.0);
    EXPECT_DOUBLE_EQ(form->incomingPlot()->values(StatPlot::uncompressed)[0], 8.0);
    EXPECT_DOUBLE_EQ(form->outgoingPlot()->values(StatPlot::packetloss)[0], 10.0);
    const std::string cut = line(3100, 3200, 3300, 3400, 40, 4, 50, 5);
    engine.send(cut.substr(0, 20));
    stat_wait([] { return false; }, 50);
    engine.send(cut.substr(20));
    ASSERT_TRUE(stat_wait([&] { return form->incomingPlot()->sampleCount() == 4; }));
    EXPECT_EQ(form->ui.udpin->text().toStdString(), "3100");
    ASSERT_EQ(icon.size(), 4u);
    EXPECT_EQ(std::get<0>(icon[0]), 0) << "a first line has no previous one";
    EXPECT_NEAR(std::get<3>(icon[0]), 57.14, 0.01);
    EXPECT_EQ(std::get<0>(icon[3]), 1000);
    EXPECT_EQ(std::get<1>(icon[3]), 3100);
    EXPECT_EQ(std::get<2>(icon[3]), 3200);

    // After a reset the next line counts from the line before it.
    form->ui.pushButton_2->click();
    engine.send(line(3600, 3200, 3300, 3400, 50, 5, 50, 5));
    ASSERT_TRUE(stat_wait([&] { return form->incomingPlot()->sampleCount() == 5; }));
    EXPECT_EQ(form->ui.udpin->text().toStdString(), "500");
    EXPECT_EQ(form->ui.pktinlossprc->text().toStdString(), "10.00 %");
    EXPECT_EQ(form->ui.pktoutlossprc->text().toStdString(), "0.00 %");
    EXPECT_EQ(form->ui.uptime->text().toStdString(), "0:00:00");
    EXPECT_EQ(form->lastCounts().packets_in, 10u);

    // Quit: "shutdown" goes after the prompt, the window and the icon go.
    int hide_icon = 0, quit_alone = 0;
    QObject::connect(form.get(), &StatForm::HideTrayIcon, [&] { hide_icon++; });
    QObject::connect(form.get(), &StatForm::QuitWithoutEngine, [&] { quit_alone++; });
    form->show();
    form->send_shut();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(hide_icon, 1);
    engine.send("Quorin>");
    ASSERT_TRUE(stat_wait([&] { return engine.received == sent + "shutdown\n"; })) << engine.received;
    EXPECT_EQ(quit_alone, 0);
}

TEST_F(UiStatForm, QuitWithTheConsoleDown) {
    int hide_icon = 0, quit_alone = 0;
    QObject::connect(form.get(), &StatForm::HideTrayIcon, [&] { hide_icon++; });
    QObject::connect(form.get(), &StatForm::QuitWithoutEngine, [&] { quit_alone++; });
    form->send_shut();
    EXPECT_EQ(hide_icon, 1);
    EXPECT_EQ(quit_alone, 1) << "nobody else would end the process";
}

}  // namespace
