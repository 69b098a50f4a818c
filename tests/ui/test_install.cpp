// A fresh install as a user makes one: `cmake --install` of this build into
// a scratch folder, then the interface started there under a private Xvfb
// with trayer. The program shows its connect dialog, and the interface
// (the engine's main routine in ui_host, the installed library) finds its
// server, speed and port lists in the files the install brought.
#include <gtest/gtest.h>

#include <signal.h>

#include <QSettings>

#include <filesystem>
#include <string>

#include "tests/ui/support/xsession.h"
#include "ui/core/dvb_settings.h"

namespace {

constexpr double step_timeout_s = 60;

TEST(UiInstall, AFreshInstallStartsWithItsLists) {
    e2e::temp_dir dir;
    const std::string prefix = dir.file("quorin");
    e2e::process install;
    ASSERT_TRUE(install.start({QUORIN_CMAKE, "--install", QUORIN_BUILD_DIR, "--prefix", prefix}, dir.path(),
                              dir.file("install.out"), dir.file("install.err")));
    int status = -1;
    ASSERT_TRUE(install.wait_exit(step_timeout_s, &status));
    ASSERT_EQ(status, 0) << dir.read("install.err");
    for (const char* file : {"quorin", "libquorin_ui.so", "libtun.so", "libdvb.so", "libKestrix.so", "libTeVii.so",
                             "UI settings.ini", "Satproviders.ini"})
        EXPECT_TRUE(std::filesystem::exists(prefix + "/" + file)) << file;
    EXPECT_FALSE(std::filesystem::exists(prefix + "/tevii-sim.ini")) << "the kernel's cards, not the simulated one";

    QSettings providers(QString::fromStdString(prefix + "/Satproviders.ini"), QSettings::IniFormat);
    QStringList names;
    const QList<SatPreset> presets = read_sat_presets(providers, &names);
    ASSERT_EQ(presets.size(), 3);
    EXPECT_EQ(presets[0].text, "Quorin Sat 42.0E/11595H");
    EXPECT_EQ(presets[2].values.value("LNB").toInt(), 2);

    ui_testing::x_session x;
    std::string why;
    ASSERT_TRUE(x.start(true, &why)) << why;
    // The installed program, started in its folder.
    {
        e2e::process quorin;
        ASSERT_TRUE(quorin.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), prefix + "/quorin"}, prefix,
                                 dir.file("quorin.out"), dir.file("quorin.err")));
        EXPECT_TRUE(e2e::wait_until(
            [&] { return x.xdotool({"search", "--onlyvisible", "--name", "^Quorin v. 5.0$"}); }, step_timeout_s))
            << "no connect dialog\n" << dir.read("quorin.err");
        quorin.signal(SIGTERM);
        EXPECT_TRUE(quorin.wait_exit(step_timeout_s));
    }

    e2e::process host;
    ASSERT_TRUE(host.start({"/usr/bin/env", "QT_QPA_PLATFORM=xcb", x.display_env(), e2e::bin_path("ui_host"),
                            "engine", "form-shown", "lists", "close"},
                           prefix, "", dir.file("host.err")));
    std::string lists;
    EXPECT_GE(host.wait_line("lists ", step_timeout_s, &lists), 0) << dir.read("host.err");
    EXPECT_EQ(lists, "lists serveraddr=2:Main server ( 203.0.113.10 ) speed_in=7:256 kbit ( 32000 ) "
                     "speed_out=6:16 kbit ( 2000 ) serverport=1:25555");
    EXPECT_TRUE(host.wait_exit(step_timeout_s)) << "Quit did not end the interface";
}

}  // namespace
