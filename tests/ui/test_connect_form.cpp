// The connect dialog: what the working directory decides, subscriptions,
// the connecting road, the downloaded settings and the connection finish.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QAccessible>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QDirIterator>
#include <QImage>
#include <QResource>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/dialup.h"
#include "tests/ui/support/ui_testing.h"
#include "ui/core/settings_files.h"
#include "ui/core/settings_transfer.h"
#include "ui/dvbsettingsform.h"
#include "ui/modal.h"
#include "ui/mycoolthread.h"
#include "ui/qrconnectform.h"
#include "ui/qrsettingsform.h"
#include "ui/splashform.h"
#include "ui/statform.h"

namespace {

using ui_testing::modal_script;
using ui_testing::wait_for;
using ui_testing::working_dir;

testing::Environment* const qt = testing::AddGlobalTestEnvironment(new ui_testing::qt_environment);

std::atomic<int> engine_starts{0};
int count_start(void*) {
    ++engine_starts;
    return 0;
}

// A configuration file the interface itself would write for this login.
std::string ui_conf(const std::string& login, const std::string& extra_remote = "") {
    return "[server]\ntraffic=60\nport=2080\nlog=client.log\ndatatimeout=300\ncontrol_socket=127.0.0.1:30000\n"
           "[remote]\nname=quorin\nserver=192.0.2.1:25555\nlogin=" +
           login + "\npasswd=frompass\nmtu=500\nmru=1400\nspeed_in=500000\nspeed_out=2000\n" + extra_remote +
           "[local]\nremote=quorin\nservice_int=0\nport=127.0.0.1:3128\n";
}

class UiConnectForm : public ::testing::Test {
protected:
    void SetUp() override {
        engine_starts = 0;
        QApplication::setQuitOnLastWindowClosed(true);
    }
    void TearDown() override {
        if (form) {
            form->thread->wait();
            delete form->statForm;
            delete form->thread;
            delete form->subscriptions;
            form.reset();
        }
        dialup_set_paths(dialup_default_paths());
    }
    QrConnectForm& build() {
        form = std::make_unique<QrConnectForm>();
        form->thread->callback = count_start;
        return *form;
    }
    // Subscriptions.ini as another run left it.
    void subscription(const std::string& login, const std::string& keys) {
        wd.write("Subscriptions.ini", wd.read("Subscriptions.ini") + "[" + login + "]\n" + keys);
    }
    bool engine_started() {
        return wait_for([] { return engine_starts.load() == 1; }, 10);
    }

    working_dir wd;
    modal_script script;
    std::unique_ptr<QrConnectForm> form;
};

// ------------------------------------------------------------- resources

TEST(UiResources, NinetyFivePicturesStoredUncompressed) {
    // Ours are the icons tree and the logo; Qt keeps resources of its own.
    QStringList pngs = {":/logo.png"};
    QDirIterator it(":/icons", QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(".png")) pngs << path;
    }
    EXPECT_EQ(pngs.size(), 95);
    for (const char* path : {":/icons/green/01.png", ":/icons/yellow/30.png", ":/icons/red/15.png",
                             ":/icons/red_2/02.png", ":/icons/idle.png", ":/icons/main.png", ":/logo.png"})
        EXPECT_TRUE(pngs.contains(path)) << path;
    for (const QString& path : pngs) {
        EXPECT_FALSE(QImage(path).isNull()) << path.toStdString();
        EXPECT_EQ(QResource(path).compressionAlgorithm(), QResource::NoCompression) << path.toStdString();
    }
}

// ------------------------------------------------------------- boxes

// Names from the phone-book and a server's error text are shown as they
// stand: no markup, and an '&' is an '&'. The shown text is the label's as
// a screen reader gets it: markup rendered, a shortcut mark taken out.
TEST(UiBoxes, OutsideTextsAreShownAsTheyStand) {
    const struct {
        QString text;
        std::function<void(const QString&)> show;
    } boxes[] = {
        {"Connect to R&D <b>office</b> &amp; co faled.\n Error:8",
         [](const QString& t) {
             modal::message(nullptr, QMessageBox::Warning, "Warning", t, QMessageBox::Abort, QMessageBox::Abort);
         }},
        {"Got error:server replied: R&D <b>Gone</b>",
         [](const QString& t) {
             QString answer;
             modal::get_text(nullptr, "Error recieving data.", t, &answer);
         }},
    };
    for (const auto& b : boxes) {
        QString shown;
        QTimer::singleShot(0, [&] {
            QWidget* box = QApplication::activeModalWidget();
            ASSERT_NE(box, nullptr);
            for (QLabel* l : box->findChildren<QLabel*>())
                shown += QAccessible::queryAccessibleInterface(l)->text(QAccessible::Name);
            static_cast<QDialog*>(box)->reject();
        });
        b.show(b.text);
        EXPECT_NE(shown.indexOf(b.text), -1) << shown.toStdString();
    }
}

// ------------------------------------------------------------- what the directory decides

TEST_F(UiConnectForm, FirstStartInAnEmptyDirectoryOffersTheDownloadOnly) {
    QrConnectForm& f = build();
    EXPECT_FALSE(f.ui.use_local_conf->isEnabled());
    EXPECT_TRUE(f.ui.download_conf->isChecked());
    EXPECT_FALSE(f.ui.connect_button->isEnabled());
    EXPECT_EQ(f.ui.connect_button->text(), "Download");
    EXPECT_FALSE(f.ui.settings_button->isEnabled());
    ASSERT_EQ(f.ui.login->count(), 1);
    EXPECT_EQ(f.ui.login->itemText(0), "");
    EXPECT_EQ(f.settingsForm->ui.Settings->indexOf(f.settingsForm->ui.tapsettings), -1);
    EXPECT_EQ(f.settingsForm->ui.Settings->count(), 2);
    EXPECT_TRUE(f.ui.DVBConnect->isHidden());
    EXPECT_EQ(f.statForm->ui.stat->indexOf(f.statForm->ui.dvb_stat), -1);
    EXPECT_TRUE(f.settings_local);
    EXPECT_EQ(f.windowTitle(), "Quorin v. 5.0");
}

TEST_F(UiConnectForm, OwnFileListsTheSubscriptionsWithItsLoginCurrent) {
    wd.write("quorin.conf", ui_conf("alice"));
    subscription("alice", "Quorin\\passwd=stored\nQuorin\\server\\port=2099\nQuorin\\remote\\mru=1500\n");
    subscription("bob", "Quorin\\passwd=bobs\n");
    QrConnectForm& f = build();
    ASSERT_EQ(f.ui.login->count(), 2);
    EXPECT_EQ(f.ui.login->itemText(0), "alice");
    EXPECT_EQ(f.ui.login->itemText(1), "bob");
    EXPECT_EQ(f.ui.login->currentText(), "alice");
    EXPECT_EQ(f.ui.password->text(), "stored") << "the subscription's values replace the file's";
    EXPECT_EQ(f.port, 2099);
    EXPECT_EQ(f.settingsForm->ui.udp_port->currentText(), "2099");
    EXPECT_EQ(f.settingsForm->ui.mru->currentText(), "1500");
    EXPECT_TRUE(f.ui.use_local_conf->isChecked() && f.ui.use_local_conf->isEnabled());
    EXPECT_TRUE(f.ui.settings_button->isEnabled());
    EXPECT_TRUE(f.ui.connect_button->isEnabled());
    EXPECT_EQ(f.ui.connect_button->text(), "Connect");
}

TEST_F(UiConnectForm, LoginOfTheFileIsShownEvenWithoutASubscription) {
    wd.write("quorin.conf", ui_conf("carol"));
    subscription("alice", "Quorin\\passwd=a\n");
    QrConnectForm& f = build();
    EXPECT_EQ(f.ui.login->currentText(), "carol");
    EXPECT_EQ(f.login, "carol");
}

TEST_F(UiConnectForm, ForeignFileLocksLoginAndDownload) {
    wd.write("quorin.conf", ui_conf("alice", "[remote]\nname=second\nserver=192.0.2.2:1\n"));
    QrConnectForm& f = build();
    EXPECT_FALSE(f.settings_local);
    EXPECT_FALSE(f.ui.download_conf->isEnabled());
    EXPECT_FALSE(f.ui.login->isEnabled());
    EXPECT_FALSE(f.ui.password->isEnabled());
    EXPECT_FALSE(f.ui.settings_button->isEnabled());
    EXPECT_TRUE(f.ui.use_local_conf->isChecked());
}

TEST_F(UiConnectForm, UnreadableFileCountsAsNone) {
    mkdir(wd.file("quorin.conf").c_str(), 0700);
    QrConnectForm& f = build();
    EXPECT_TRUE(f.settings_local);
    EXPECT_FALSE(f.ui.use_local_conf->isEnabled());
    EXPECT_TRUE(f.ui.download_conf->isChecked());
}

TEST_F(UiConnectForm, TapFollowsTheTunnelLibrary) {
    for (bool library : {false, true}) {
        wd.write("Subscriptions.ini", "[alice]\nQuorin\\local\\tap=true\nQuorin\\local\\tap_ip=10.0.0.9\n");
        if (library) wd.write("libtun.so", "");
        wd.write("quorin.conf", ui_conf("alice"));
        QrConnectForm& f = build();
        EXPECT_EQ(f.tap, library);
        EXPECT_EQ(f.settingsForm->ui.tap_section->isChecked(), library);
        EXPECT_EQ(f.settingsForm->ui.Settings->indexOf(f.settingsForm->ui.tapsettings) >= 0, library);
        f.write_ini();
        f.sync_settings();
        EXPECT_EQ(QSettings(subscriptions_file, QSettings::IniFormat).value("alice/Quorin/local/tap").toBool(),
                  library);
        TearDown();
    }
}

// ------------------------------------------------------------- small slots

TEST_F(UiConnectForm, PasswordAndSourceButtons) {
    wd.write("quorin.conf", ui_conf("alice"));
    subscription("alice", "Quorin\\passwd=\n");
    QrConnectForm& f = build();
    EXPECT_FALSE(f.ui.connect_button->isEnabled());
    f.ui.password->setText("x");
    EXPECT_TRUE(f.ui.connect_button->isEnabled());
    f.ui.password->clear();
    EXPECT_FALSE(f.ui.connect_button->isEnabled());

    f.ui.download_conf->click();
    EXPECT_FALSE(f.ui.settings_button->isEnabled());
    EXPECT_EQ(f.ui.connect_button->text(), "Download");
    f.ui.use_local_conf->click();
    EXPECT_TRUE(f.ui.settings_button->isEnabled());
    EXPECT_EQ(f.ui.connect_button->text(), "Connect");
    f.settings_local = false;
    f.ui.download_conf->click();
    f.ui.use_local_conf->click();
    EXPECT_FALSE(f.ui.settings_button->isEnabled());
}

TEST_F(UiConnectForm, EnterInThePasswordConnects) {
    wd.write("quorin.conf", ui_conf("alice"));
    QrConnectForm& f = build();
    f.ui.password->setText("secret");
    QMetaObject::invokeMethod(f.ui.password, "returnPressed");
    EXPECT_TRUE(engine_started());
}

TEST_F(UiConnectForm, TrayClicksToggleTheStatisticsWindow) {
    QrConnectForm& f = build();
    f.iconActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(f.statForm->isVisible());
    f.iconActivated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(f.statForm->isVisible());
    f.iconActivated(QSystemTrayIcon::MiddleClick);
    EXPECT_FALSE(f.statForm->isVisible());
    f.iconActivated(QSystemTrayIcon::Context);
    EXPECT_FALSE(f.statForm->isVisible());
}

// ------------------------------------------------------------- subscriptions

TEST_F(UiConnectForm, TypingALoginLoadsItsSubscription) {
    wd.write("quorin.conf", ui_conf("alice"));
    subscription("bob", "Quorin\\passwd=bobs\nQuorin\\server\\port=2046\n");
    QrConnectForm& f = build();
    f.ui.login->setEditText("newcomer");
    EXPECT_EQ(f.login, "newcomer");
    EXPECT_EQ(f.port, 2080);
    EXPECT_EQ(f.datatimeout, 300);
    EXPECT_EQ(f.mru, 1400);
    EXPECT_EQ(f.server_port, 25555);
    EXPECT_EQ(f.tap_ip, "10.0.0.2");
    EXPECT_EQ(f.ui.password->text(), "");
    f.ui.login->setEditText("bob");
    EXPECT_EQ(f.port, 2046);
    EXPECT_EQ(f.ui.password->text(), "bobs");
    f.port = 1;
    f.sub_change("bob");
    EXPECT_EQ(f.port, 1) << "the same login again changes nothing";
}

TEST_F(UiConnectForm, DontDialWritesNoDialUpWhateverTheBoxShows) {
    wd.write("quorin.conf", ui_conf("alice"));
    subscription("alice", "DIAL\\CONNECTION=isp\nDIAL\\HANGUP=true\n");
    QrConnectForm& f = build();
    EXPECT_EQ(f.dial_keys().connection, "isp");
    f.settingsForm->ui.dial1->setCurrentIndex(0);
    f.settingsForm->ui.disconnect->setChecked(true);
    f.write_ini();
    f.sync_settings();
    QSettings ini(subscriptions_file, QSettings::IniFormat);
    EXPECT_EQ(ini.value("alice/DIAL/CONNECTION").toString(), "");
    EXPECT_FALSE(ini.value("alice/DIAL/HANGUP").toBool());
    EXPECT_EQ(f.dial_keys().connection, "") << "the quit road's copy follows what was written";
    EXPECT_FALSE(f.dial_keys().hangup);
}

// ------------------------------------------------------------- connecting

TEST_F(UiConnectForm, LocalConnectWritesBothFilesThenStartsTheEngine) {
    wd.write("quorin.conf", ui_conf("alice"));
    QrConnectForm& f = build();
    f.show();
    f.ui.password->setText("secret");
    f.StartConnecting();
    EXPECT_TRUE(engine_started());
    const std::string conf = wd.read("quorin.conf");
    EXPECT_NE(conf.find("login=alice\npasswd=secret\n"), std::string::npos) << conf;
    struct stat st;
    ASSERT_EQ(stat(wd.file("quorin.conf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    f.sync_settings();
    EXPECT_EQ(QSettings(subscriptions_file, QSettings::IniFormat).value("alice/Quorin/passwd").toString(), "secret");
    EXPECT_FALSE(f.isVisible());
    EXPECT_TRUE(f.splash->isVisible());
    EXPECT_EQ(f.splash->ui.StatusLabel->text(), "connecting...");
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
    EXPECT_EQ(script.questions.size(), 0u);
}

// A login or password pasted with line breaks would add listeners of its
// own; one with a blank would reach the engine cut.
TEST_F(UiConnectForm, LoginAndPasswordTheFileCannotCarryAreRefused) {
    struct typed_case {
        const char *login, *password, *line;
    } const cases[] = {
        {"alice\n[local]\nremote=quorin\nsocks5\nport=0.0.0.0:1080", "secret",
         "Login \"alice\\n[local]\\nremote=quorin\\nsocks5\\nport=0.0.0.0:1080\": a line break or a NUL character "
         "would add lines of its own to the configuration"},
        // The box names the password field, never what was typed.
        {"alice", "se cret", "Password: the engine reads a value up to its first blank only"},
        {"alice", "#secret", "Password: the engine reads a value that begins with '#' as empty"},
        {"alice", "a-password-of-20-ch", "Password: the engine keeps 15 characters only"},
    };
    const std::string conf = ui_conf("alice");
    for (const typed_case& c : cases) {
        SCOPED_TRACE(c.password);
        wd.write("quorin.conf", conf);
        QrConnectForm& f = build();
        f.show();
        f.ui.login->setEditText(c.login);
        f.ui.password->setText(c.password);
        script.questions.clear();
        f.StartConnecting();
        QCoreApplication::processEvents();
        EXPECT_EQ(engine_starts.load(), 0);
        EXPECT_TRUE(f.isVisible());
        ASSERT_EQ(script.count("message"), 1);
        EXPECT_EQ(script.questions[0].text,
                  "These settings were not saved and keep their earlier values:\n" + QString(c.line));
        EXPECT_EQ(wd.read("quorin.conf"), conf);
        f.sync_settings();
        EXPECT_EQ(wd.read("Subscriptions.ini").find("socks5"), std::string::npos);
        TearDown();
    }
}

// A subscription edited by hand stops a fast start with the box: a log
// name whose line the engine would read as two (the rest a console of its
// own) and a server with a port of its own.
TEST_F(UiConnectForm, SubscriptionValuesTheFileCannotCarryStopAFastStart) {
    const std::string conf = ui_conf("alice");
    wd.write("quorin.conf", conf);
    const std::string long_log = std::string(1019, 'a') + "control_socket=127.0.0.1:31337";
    subscription("alice", "Quorin\\passwd=secret\nQuorin\\server\\log=" + long_log +
                              "\nQuorin\\remote\\server=127.0.0.1:99\n");
    QrConnectForm& f = build();
    ASSERT_EQ(f.log.size(), 1049);
    f.StartConnecting();
    QCoreApplication::processEvents();
    EXPECT_EQ(engine_starts.load(), 0);
    EXPECT_TRUE(f.isVisible());
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].text,
              "These settings were not saved and keep their earlier values:\n"
              "log \"" + QString(64, 'a') + "...\": its line in the configuration would be longer than the 1023 "
              "bytes the engine reads as one line\n"
              "server \"127.0.0.1:99\": the engine reads what follows a ':' as the port");
    EXPECT_EQ(wd.read("quorin.conf"), conf);
}

TEST_F(UiConnectForm, FailedWriteOfTheConfigurationStartsNothing) {
    wd.write("quorin.conf", ui_conf("alice"));
    QrConnectForm& f = build();
    f.show();
    f.ui.password->setText("secret");
    // The file cannot be written where a directory stands.
    std::remove(wd.file("quorin.conf").c_str());
    mkdir(wd.file("quorin.conf").c_str(), 0700);
    f.StartConnecting();
    QCoreApplication::processEvents();
    EXPECT_EQ(engine_starts.load(), 0);
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].title, "Error");
    EXPECT_EQ(script.questions[0].text, "The settings could not be written to quorin.conf: Is a directory");
    EXPECT_TRUE(f.isVisible());
    EXPECT_FALSE(f.splash->isVisible());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
}

// A device node made here, behind a link named name: what a settings file
// may be by mistake or malice. False where nodes cannot be made.
bool link_to_device(const working_dir& wd, const std::string& name) {
    const std::string node = name + ".node";
    return mknod(wd.file(node).c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
           chmod(wd.file(node).c_str(), 0666) == 0 && symlink(node.c_str(), wd.file(name).c_str()) == 0;
}

// Neither the start nor Connect writes to, or changes the mode of, a
// settings file that is not a regular file; Connect says so and starts
// nothing.
TEST_F(UiConnectForm, FilesThatAreNotFilesAreNotWritten) {
    struct stand_case {
        const char* file;
        bool fifo;  // else a link to a device node
    } const cases[] = {{"Subscriptions.ini", false}, {"quorin.conf", false}, {"quorin.conf", true}};
    for (const stand_case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + (c.fifo ? " FIFO" : " device"));
        std::remove(wd.file("quorin.conf").c_str());
        wd.write("quorin.conf", ui_conf("alice"));
        const bool conf = c.file == std::string("quorin.conf");
        const auto make = [&] {
            std::remove(wd.file(c.file).c_str());
            return c.fifo ? mkfifo(wd.file(c.file).c_str(), 0666) == 0 && chmod(wd.file(c.file).c_str(), 0666) == 0
                          : link_to_device(wd, c.file);
        };
        // The configuration is read as a file at start and found replaced
        // at Connect.
        if (!conf && !make()) GTEST_SKIP() << "no device node here: " << std::strerror(errno);
        QrConnectForm& f = build();
        f.show();
        f.ui.password->setText("secret");
        if (conf && !make()) GTEST_SKIP() << "no device node here: " << std::strerror(errno);
        // A reader keeps a writer from waiting on the FIFO.
        const int reader = open(wd.file(c.file).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat before, after;
        ASSERT_EQ(stat(wd.file(c.file).c_str(), &before), 0);
        script.questions.clear();
        f.StartConnecting();
        QCoreApplication::processEvents();
        EXPECT_EQ(engine_starts.load(), 0);
        ASSERT_EQ(script.count("message"), 1);
        EXPECT_EQ(script.questions[0].text,
                  QString("The settings could not be written to %1: not a regular file").arg(c.file));
        f.sync_settings();
        ASSERT_EQ(stat(wd.file(c.file).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode) << std::oct << after.st_mode;
        EXPECT_EQ(after.st_rdev, before.st_rdev);
        EXPECT_EQ(before.st_mode & 0777, 0666u);
        if (reader >= 0) close(reader);
        TearDown();
        std::remove(wd.file("Subscriptions.ini").c_str());
    }
}

// The working directory on a disk of 16 KB of its own.
class small_disk {
public:
    small_disk(const working_dir& wd, const std::string& name) : dir_(wd.file(name)), back_(wd.dir().path()) {
        mkdir(dir_.c_str(), 0700);
        mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=16k") == 0;
        if (!mounted_) why_ = std::strerror(errno);
        if (mounted_ && chdir(dir_.c_str()) != 0) why_ = std::strerror(errno);
    }
    ~small_disk() {
        if (!mounted_) return;
        if (chdir(back_.c_str()) != 0) ADD_FAILURE() << "cannot leave " << dir_;
        umount2(dir_.c_str(), MNT_DETACH);
    }
    small_disk(const small_disk&) = delete;
    small_disk& operator=(const small_disk&) = delete;
    // Empty when mounted and entered.
    const std::string& why() const { return why_; }
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    // Fills the disk but for free_pages pages.
    void fill(int free_pages) const {
        const int fd = open(file("filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const std::string page(4096, 'x');
        off_t size = 0;
        ssize_t n;
        while ((n = write(fd, page.data(), page.size())) > 0) size += n;
        EXPECT_EQ(ftruncate(fd, std::max<off_t>(0, size - free_pages * 4096)), 0);
        close(fd);
    }
    std::string files() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir_)) names.insert(e.path().filename().string());
        std::string list;
        for (const std::string& n : names) list += n + " ";
        return list;
    }

private:
    std::string dir_, back_, why_;
    bool mounted_ = false;
};

// A write that fails on a full disk leaves the earlier files byte for
// byte, no new file beside them and no engine started.
TEST_F(UiConnectForm, AFailedWriteLosesNothing) {
    const std::string subscriptions = "[alice]\nQuorin\\passwd=stored\nQuorin\\server\\port=2099\n";
    struct disk_case {
        const char* name;
        bool earlier_files;
        int free_pages;
        const char* box;
    } const cases[] = {
        // The new file outgrows the page the old one holds.
        {"Connect, disk full", true, 0, "quorin.conf: No space left on device"},
        // The configuration goes in; the subscriptions do not.
        {"Connect, room for the configuration", true, 1, "Subscriptions.ini: the disk is full"},
        {"first settings saved, disk full", false, 0, "Subscriptions.ini: the file or its folder cannot be written"},
    };
    for (const disk_case& c : cases) {
        SCOPED_TRACE(c.name);
        // A folder of its own: the settings class keeps what it knows of a
        // file by its path for the life of the process.
        const std::string folder = "disk" + std::to_string(&c - cases);
        small_disk disk(wd, folder);
        if (!disk.why().empty()) GTEST_SKIP() << "no tmpfs here: " << disk.why();
        if (c.earlier_files) {
            wd.write(folder + "/quorin.conf", ui_conf("alice"));
            wd.write(folder + "/Subscriptions.ini", subscriptions);
        }
        QrConnectForm& f = build();
        f.show();
        f.ui.password->setText("secret");
        if (c.free_pages == 0) f.log = f.server = f.sat_ip = f.port_addr = QString(1000, 'x');
        disk.fill(c.free_pages);
        const std::string listed = disk.files();
        script.questions.clear();
        if (c.earlier_files)
            f.StartConnecting();
        else
            f.SettingsFinished(1);
        QCoreApplication::processEvents();
        EXPECT_EQ(engine_starts.load(), 0);
        // The settings dialog, never filled here, may refuse its values too.
        ASSERT_GE(script.count("message"), 1);
        EXPECT_EQ(script.questions[0].text, QString("The settings could not be written to ") + c.box);
        if (c.earlier_files) {
            if (c.free_pages == 0) {
                EXPECT_EQ(wd.read(folder + "/quorin.conf"), ui_conf("alice"));
            }
            EXPECT_EQ(wd.read(folder + "/Subscriptions.ini"), subscriptions);
        }
        EXPECT_EQ(disk.files(), listed);
        TearDown();
    }
}

// A file of the interface's own, written before its login had a
// subscription: the first connection keeps the file's server, port and
// listeners, and stores them.
TEST_F(UiConnectForm, OwnFileWithoutASubscriptionKeepsItsSettings) {
    wd.write("quorin.conf", ui_conf("carol") + "[local]\nremote=quorin\nservice_int=2\nport=127.0.0.9:1090\n");
    subscription("carol", "DVB\\Enabled=false\n");
    QrConnectForm& f = build();
    EXPECT_EQ(f.ui.password->text(), "frompass");
    EXPECT_EQ(f.server + ":" + QString::number(f.server_port), "192.0.2.1:25555");
    EXPECT_EQ(f.settingsForm->ui.socks_ip->currentText(), "127.0.0.9");
    EXPECT_EQ(f.int4.port, 3130) << "what the file does not hold comes from the load defaults";
    f.StartConnecting();
    EXPECT_TRUE(engine_started());
    const std::string conf = wd.read("quorin.conf");
    for (const char* line : {"port=2080\n", "server=192.0.2.1:25555\n", "login=carol\npasswd=frompass\n",
                             "speed_in=500000\nspeed_out=2000\n", "service_int=0\nport=127.0.0.1:3128\n",
                             "service_int=2\nport=127.0.0.9:1090\n"})
        EXPECT_NE(conf.find(line), std::string::npos) << line << conf;
    f.sync_settings();
    QSettings ini(subscriptions_file, QSettings::IniFormat);
    ini.beginGroup("carol");
    EXPECT_EQ(ini.value("Quorin/remote/server").toString() + " " + ini.value("Quorin/local/socks_port").toString(),
              "192.0.2.1 1090");
    EXPECT_EQ(ini.value("Quorin/passwd").toString(), "frompass");
}

TEST_F(UiConnectForm, ForeignFileIsUsedUnchanged) {
    const std::string foreign = ui_conf("alice", "[remote]\nname=second\nserver=192.0.2.2:1\n");
    wd.write("quorin.conf", foreign);
    QrConnectForm& f = build();
    f.StartConnecting();
    EXPECT_TRUE(engine_started());
    EXPECT_EQ(wd.read("quorin.conf"), foreign);
    f.sync_settings();
    EXPECT_EQ(wd.read("Subscriptions.ini").find("Quorin"), std::string::npos);
}

TEST_F(UiConnectForm, TapAddressCheck) {
    struct tap_case {
        const char* name;
        const char* address;
        bool asked;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton answer;
        bool starts;
    } cases[] = {
        {"default address, Ok", "10.0.0.2", true, QMessageBox::Ok | QMessageBox::Ignore, QMessageBox::Ok, false},
        {"default address, Ignore", "10.0.0.2", true, QMessageBox::Ok | QMessageBox::Ignore, QMessageBox::Ignore,
         true},
        {"masked field left empty", "...", true, QMessageBox::Ok, QMessageBox::Ignore, false},
        {"empty", "", true, QMessageBox::Ok, QMessageBox::Ok, false},
        {"a real address", "10.0.0.18", false, {}, QMessageBox::Ok, true},
    };
    wd.write("libtun.so", "");
    for (const tap_case& c : cases) {
        SCOPED_TRACE(c.name);
        engine_starts = 0;
        wd.write("quorin.conf", ui_conf("alice") + "[local]\nremote=quorin\ntun_timeout=20\ntun_init=dhcp\n"
                                                    "tunnel=10.0.0.2:3001\n[local]\nremote=quorin\ntransparent\n"
                                                    "port=10.0.0.2:3000\n");
        QrConnectForm& f = build();
        f.tap_ip = c.address;
        script.questions.clear();
        script.messages = {c.answer};
        // A fast start: the dialog was never shown.
        f.StartConnecting();
        ASSERT_EQ(script.count("message"), c.asked ? 1 : 0);
        if (c.asked) {
            EXPECT_EQ(script.questions[0].title, "Warning");
            EXPECT_EQ(script.questions[0].buttons, c.buttons);
        }
        if (c.starts) {
            EXPECT_TRUE(engine_started());
        } else {
            QCoreApplication::processEvents();
            EXPECT_EQ(engine_starts.load(), 0);
            EXPECT_TRUE(f.isVisible()) << "a refused fast start shows the dialog";
        }
        TearDown();
    }
}

TEST_F(UiConnectForm, DialUpBeforeConnecting) {
    const std::string peers = wd.file("peers");
    mkdir(peers.c_str(), 0700);
    wd.write("peers/isp", "");
    dialup_set_paths({peers, wd.file("run"), QUORIN_FAKE_PPPD});
    wd.write("quorin.conf", ui_conf("alice"));
    subscription("alice", "DIAL\\CONNECTION=isp\nDIAL\\HANGUP=false\n");

    QrConnectForm& f = build();
    ASSERT_EQ(f.settingsForm->ui.dial1->currentText(), "isp");
    f.show();
    script.dials = {{false, 8}, {true, 0}};
    script.messages = {QMessageBox::Retry};
    f.StartConnecting();
    EXPECT_TRUE(engine_started());
    ASSERT_EQ(script.count("dial"), 2);
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[1].text, "Connect to isp faled.\n Error:8");
    EXPECT_EQ(script.questions[1].buttons, QMessageBox::Retry | QMessageBox::Abort);

    TearDown();
    dialup_set_paths({peers, wd.file("run"), QUORIN_FAKE_PPPD});
    engine_starts = 0;
    QrConnectForm& g = build();
    g.show();
    script.questions.clear();
    script.dials = {{false, 16}};
    script.messages = {QMessageBox::Abort};
    g.StartConnecting();
    QCoreApplication::processEvents();
    EXPECT_EQ(engine_starts.load(), 0);
    EXPECT_TRUE(g.isVisible());
    EXPECT_FALSE(g.splash->isVisible());
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
}

// ------------------------------------------------------------- downloaded settings

TEST_F(UiConnectForm, DownloadedSettingsOpenTheSettingsDialog) {
    struct download_case {
        int port, client;
        const char* sat_ip;
        const char* udp_port;
        const char* tap_ip;
    } cases[] = {
        {2066, 17, "0", "2066", "10.0.0.18"},
        {0, 0, "0", "2002", "10.0.0.1"},
        {2040, 254, "198.51.100.1", "2040", "10.0.1.1"},
    };
    for (const download_case& c : cases) {
        SCOPED_TRACE(c.tap_ip);
        QrConnectForm& f = build();
        f.ui.login->setEditText("alice");
        f.ui.password->setText("secret");
        f.splash->configValid = true;
        f.splash->port = c.port;
        f.splash->clientNumber = c.client;
        f.splash->satIp = c.sat_ip;
        int shown_port_index = -1;
        QString shown_port, shown_tap;
        script.execs = {[&](QDialog*) {
            shown_port = f.settingsForm->ui.udp_port->currentText();
            shown_port_index = f.settingsForm->ui.udp_port->currentIndex();
            shown_tap = f.settingsForm->ui.tap_ip->text();
            return 1;
        }};
        f.SetDownloadedData();
        ASSERT_EQ(script.count("exec"), 1);
        EXPECT_EQ(shown_port, c.udp_port);
        if (c.port == 0) {
            EXPECT_EQ(shown_port_index, 0);
        }
        EXPECT_EQ(shown_tap, c.tap_ip);
        EXPECT_TRUE(f.isVisible());
        const bool sat = std::string(c.sat_ip) != "0";
        EXPECT_EQ(f.sat_ip, sat ? c.sat_ip : "");
        EXPECT_EQ(f.dvbForm->ui.satip->text(), sat ? c.sat_ip : "");
        if (sat) {
            EXPECT_EQ(f.settingsForm->ui.mru->currentText(), "1400");
        }
        // Accepted: the settings are the interface's now.
        EXPECT_TRUE(f.settings_local);
        EXPECT_TRUE(f.ui.use_local_conf->isChecked() && f.ui.use_local_conf->isEnabled());
        EXPECT_FALSE(f.ui.download_conf->isChecked());
        EXPECT_EQ(f.ui.connect_button->text(), "Connect");
        EXPECT_NE(wd.read("quorin.conf").find("port=" + std::string(c.udp_port) + "\n"), std::string::npos);
        script.questions.clear();
        TearDown();
        std::remove(wd.file("quorin.conf").c_str());
    }
}

TEST_F(UiConnectForm, FailedDownloadReturnsToTheDialog) {
    wd.write("quorin.conf", ui_conf("alice"));
    QrConnectForm& f = build();
    f.ui.download_conf->click();
    f.splash->show();
    f.splash->configValid = false;
    f.SetDownloadedData();
    EXPECT_TRUE(f.ui.use_local_conf->isChecked());
    EXPECT_FALSE(f.ui.download_conf->isChecked());
    EXPECT_EQ(f.ui.connect_button->text(), "Connect");
    EXPECT_FALSE(f.splash->isVisible());
    EXPECT_TRUE(f.isVisible());
    EXPECT_EQ(script.count("exec"), 0);
}

// ------------------------------------------------------------- connection finish

class UiConnectFinish : public UiConnectForm {
protected:
    QrConnectForm& connected(const std::string& interface_ini = "") {
        wd.write("quorin.conf", ui_conf("alice"));
        subscription("alice", "Quorin\\remote\\server=203.0.113.6\nQuorin\\remote\\speed_in_min=2000\n"
                              "Quorin\\remote\\speed_in_max=2000\nQuorin\\remote\\speed_out_min=500\n"
                              "Quorin\\remote\\speed_out_max=3000\n");
        wd.write("UI settings.ini",
                 "[server%20list]\n1\\primary=203.0.113.5\n2\\backup=203.0.113.6\n3\\empty\\x=1\n"
                 "[speed_in%20list]\na\\Single=2000\nb\\Pair=2000:2000\nc\\Other=1000:8000\nd\\Zero=0:50000\n"
                 "[speed_out%20list]\na\\Low=500:3000\nb\\High=3000\nc\\Colon=:9000\n");
        if (!interface_ini.empty()) wd.write("Interface.ini", interface_ini);
        QrConnectForm& f = build();
        f.splash->show();
        f.ConnectFinished();
        return f;
    }
    static QStringList texts(const QList<QAction*>& actions) {
        QStringList t;
        for (QAction* a : actions) t << (a->isSeparator() ? "-" : a->text());
        return t;
    }
    static QStringList checked(QActionGroup* g) {
        QStringList t;
        for (QAction* a : g->actions())
            if (a->isChecked()) t << a->data().toString();
        return t;
    }
};

TEST_F(UiConnectFinish, TrayMenuAndListsFromTheSettingsFile) {
    QrConnectForm& f = connected();
    ASSERT_TRUE(f.trayMenu);
    EXPECT_EQ(texts(f.trayMenu->actions()),
              (QStringList{"Restart", "Select server", "Select speed", "-", "&Quit"}));
    EXPECT_EQ(texts(f.serverGroup->actions()), (QStringList{"primary", "backup", ""}));
    EXPECT_EQ(checked(f.serverGroup), QStringList{"203.0.113.6"});
    EXPECT_EQ(checked(f.speedInGroup), (QStringList{"2000", "2000:2000"}));
    EXPECT_EQ(checked(f.speedOutGroup), QStringList{"500:3000"});
    EXPECT_EQ(f.statForm->ui.server->currentText(), "backup");
    EXPECT_EQ(f.statForm->ui.speed_in->currentText(), "Single");
    EXPECT_EQ(f.statForm->ui.speed_out->currentText(), "Low");
    EXPECT_EQ(f.statForm->ui.login->text(), "alice");
    EXPECT_EQ(f.statForm->md().size(), 32);
    EXPECT_EQ(f.statForm->ui.stat->indexOf(f.statForm->ui.dvb_stat), -1);
    EXPECT_FALSE(f.statForm->ui.DVBStat->isEnabled());
    EXPECT_TRUE(f.statTimer->isActive());
    EXPECT_EQ(f.statTimer->interval(), 1000);
    EXPECT_EQ(f.iconTimer->interval(), 33);
    EXPECT_FALSE(f.splash->isVisible());
    EXPECT_FALSE(f.statForm->isVisible()) << "the tray shows it";
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    f.ConnectFinished();
    EXPECT_EQ(f.serverGroup->actions().size(), 3) << "a second report adds nothing";
}

TEST_F(UiConnectFinish, WindowStateComesFromInterfaceIni) {
    QrConnectForm& f = connected("[General]\nPOS=@Rect(100 120 400 300)\nOPACITY=0.999\nONTOP=true\n"
                                 "UPDATE_TIMEOUT=5\nUPDATE_BALANCE=true\nPAGE_INDEX=0\n");
    EXPECT_EQ(f.statForm->ui.opacity->value(), 99);
    EXPECT_TRUE(f.statForm->ui.ontop->isChecked());
    EXPECT_EQ(f.statForm->ui.bal_timeout->value(), 5);
    EXPECT_TRUE(f.statForm->ui.is_update->isChecked());
    EXPECT_EQ(f.statForm->geometry(), QRect(100, 120, 400, 300));
    f.statForm->ui.opacity->setValue(50);
    f.save_settings();
    f.sync_settings();
    QSettings ini(interface_file, QSettings::IniFormat);
    EXPECT_NEAR(ini.value(key_opacity).toDouble(), 0.5, 0.01);
    EXPECT_EQ(ini.value(key_update_timeout).toInt(), 5);
}

// Quit keeps the window's state, or says why it could not; a device behind
// Interface.ini is neither written nor replaced.
TEST_F(UiConnectFinish, WindowStateThatCannotBeWrittenIsReported) {
    if (!link_to_device(wd, "Interface.ini")) GTEST_SKIP() << "no device node here: " << std::strerror(errno);
    QrConnectForm& f = connected();
    f.save_settings();
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].text, "The settings could not be written to Interface.ini: not a regular file");
    f.sync_settings();
    struct stat st;
    ASSERT_EQ(stat(wd.file("Interface.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(UiConnectFinish, WithoutPositionTheWindowGoesToTheCorner) {
    QrConnectForm& f = connected("[General]\nOPACITY=0.5\nONTOP=true\n");
    EXPECT_EQ(f.statForm->ui.opacity->value(), 100) << "nothing is restored without POS";
    EXPECT_FALSE(f.statForm->ui.ontop->isChecked());
}

TEST_F(UiConnectFinish, SpeedMenusTakeTheirEntries) {
    QrConnectForm& f = connected();
    struct direction {
        const char* name;
        void (QrConnectForm::*trigger)(QAction*);
        void (QrConnectForm::*changed)(QString);
        uint32_t *min, *max;
        QActionGroup* group;
        const char *conf_key, *zero_entry;
    } const directions[] = {
        {"in", &QrConnectForm::SpeedInTriggered, &QrConnectForm::SpeedInChanged, &f.speed_in_min, &f.speed_in_max,
         f.speedInGroup, "speed_in=", "0:50000"},
        {"out", &QrConnectForm::SpeedOutTriggered, &QrConnectForm::SpeedOutChanged, &f.speed_out_min,
         &f.speed_out_max, f.speedOutGroup, "speed_out=", ":9000"},
    };
    struct speed_case {
        const char* data;
        uint32_t min, max;  // the pair after it, from 500:3000
        bool changes, refused;
    } const cases[] = {
        {"3000", 500, 3000, false, false},  // the maximum alone names the pair in force
        {"500:3000", 500, 3000, false, false},
        {"4000:9000", 4000, 9000, true, false},
        {":9000", 4000, 9000, false, true},
        {"0:50000", 4000, 9000, false, true},
        {"fast", 4000, 9000, false, true},
        {"9000", 4000, 9000, false, false},
        {"12000", 12000, 12000, true, false},
    };
    for (const direction& d : directions) {
        *d.min = 500;
        *d.max = 3000;
        for (const speed_case& c : cases) {
            SCOPED_TRACE(std::string(d.name) + " " + c.data);
            script.questions.clear();
            QStringList sent;
            auto conn = QObject::connect(&f, d.changed, [&](QString v) { sent << v; });
            QAction a(c.data, nullptr);
            a.setData(QString(c.data));
            (f.*d.trigger)(&a);
            QObject::disconnect(conn);
            EXPECT_EQ(sent, c.changes ? QStringList{c.data} : QStringList{});
            EXPECT_EQ(speed_pair_text(*d.min, *d.max), speed_pair_text(c.min, c.max));
            ASSERT_EQ(script.count("message"), c.refused ? 1 : 0);
            if (c.refused) {
                EXPECT_TRUE(script.questions[0].text.contains(c.data));
            }
            if (c.changes) {
                const std::string conf = wd.read("quorin.conf");
                EXPECT_NE(conf.find(d.conf_key + speed_text(c.min, c.max).toStdString() + "\n"), std::string::npos)
                    << conf;
            }
        }
        // The list's own entry with a zero bound: the entry in force stays
        // the checked one.
        QAction *zero = nullptr, *in_force = nullptr;
        for (QAction* a : d.group->actions()) {
            if (a->data().toString() == d.zero_entry) zero = a;
            if (a->data().toString() == "500:3000" || a->data().toString() == "2000") in_force = a;
        }
        ASSERT_TRUE(zero && in_force);
        split_speed(in_force->data().toString(), d.min, d.max);
        in_force->setChecked(true);
        zero->trigger();
        EXPECT_EQ(speed_pair_text(*d.min, *d.max), speed_pair_text(d.min == &f.speed_in_min ? 2000 : 500,
                                                                   d.min == &f.speed_in_min ? 2000 : 3000));
        EXPECT_FALSE(zero->isChecked());
        EXPECT_TRUE(in_force->isChecked());
    }
}

TEST_F(UiConnectFinish, ApplyChangesServerAndSpeedsAndRewritesTheFiles) {
    QrConnectForm& f = connected();
    QStringList in, servers;
    QObject::connect(&f, &QrConnectForm::SpeedInChanged, [&](QString v) { in << v; });
    QObject::connect(&f, &QrConnectForm::ServerChanged, [&](QString v) { servers << v; });
    f.statForm->ui.speed_in->setEditText("999");
    f.statsettings_apply();
    EXPECT_TRUE(in.isEmpty()) << "below 1000 is refused";
    EXPECT_EQ(script.count("message"), 1);
    f.statForm->ui.speed_in->setEditText("1000");
    f.statsettings_apply();
    EXPECT_EQ(in, QStringList{"1000"});
    EXPECT_EQ(f.speed_in_min, 1000u);

    f.statForm->ui.server->setCurrentIndex(0);
    f.statsettings_apply();
    EXPECT_EQ(servers, QStringList{"203.0.113.5"});
    EXPECT_EQ(f.server, "203.0.113.5");
    EXPECT_EQ(checked(f.serverGroup), QStringList{"203.0.113.5"}) << "the menu follows";

    // Nothing changed: both files are written all the same.
    wd.write("quorin.conf", "stale\n");
    f.subscriptions->remove("Quorin/remote/mtu");
    f.statsettings_apply();
    EXPECT_EQ(in.size() + servers.size(), 2);
    EXPECT_NE(wd.read("quorin.conf").find("server=203.0.113.5:25555\n"), std::string::npos);
    EXPECT_TRUE(f.subscriptions->contains("Quorin/remote/mtu"));

    f.statForm->ui.server->setCurrentIndex(1);
    f.statsettings_cancel();
    EXPECT_EQ(f.statForm->ui.server->currentText(), "primary");
    EXPECT_FALSE(f.statForm->ui.apply_but->isEnabled());
}

// A server entry of "UI settings.ini" that would add lines to the
// configuration, or reach the engine cut, is refused from both roads.
TEST_F(UiConnectFinish, ServerEntriesTheFileCannotCarryAreRefused) {
    QrConnectForm& f = connected();
    QStringList servers;
    QObject::connect(&f, &QrConnectForm::ServerChanged, [&](QString v) { servers << v; });
    QAction bad("bad", nullptr);
    bad.setData(QString("203.0.113.9 #x"));
    f.ServerTriggered(&bad);
    f.statForm->ui.server->addItem("worse", QString("203.0.113.9\n[local]"));
    f.statForm->ui.server->setCurrentIndex(f.statForm->ui.server->count() - 1);
    f.statsettings_apply();
    EXPECT_TRUE(servers.isEmpty());
    EXPECT_EQ(f.server, "203.0.113.6");
    EXPECT_EQ(checked(f.serverGroup), QStringList{"203.0.113.6"});
    EXPECT_EQ(f.statForm->ui.server->currentText(), "backup");
    ASSERT_EQ(script.count("message"), 2);
    EXPECT_TRUE(script.questions[0].text.endsWith(
        "Select server \"203.0.113.9 #x\": the engine reads a value up to its first blank only"));
    EXPECT_TRUE(script.questions[1].text.endsWith("Enter point \"203.0.113.9\\n[local]\": a line break or a NUL "
                                                  "character would add lines of its own to the configuration"));
    EXPECT_EQ(wd.read("quorin.conf").find("203.0.113.9"), std::string::npos);

    // A port of its own, and a name too long for the engine's line.
    QAction colon("colon", nullptr);
    colon.setData(QString("127.0.0.1:99"));
    f.ServerTriggered(&colon);
    const QString longest(conf_text_max_chars(conf_text_field::server), 'a');
    f.statForm->ui.server->addItem("long", longest + "a");
    f.statForm->ui.server->setCurrentIndex(f.statForm->ui.server->count() - 1);
    f.statsettings_apply();
    EXPECT_TRUE(servers.isEmpty());
    ASSERT_EQ(script.count("message"), 4);
    EXPECT_TRUE(script.questions[2].text.endsWith(
        "Select server \"127.0.0.1:99\": the engine reads what follows a ':' as the port"));
    EXPECT_TRUE(script.questions[3].text.endsWith("Enter point \"" + QString(64, 'a') +
                                                  "...\": its line in the configuration would be longer than the "
                                                  "1023 bytes the engine reads as one line"));
    QAction fits("fits", nullptr);
    fits.setData(longest);
    f.ServerTriggered(&fits);
    EXPECT_EQ(servers, QStringList{longest}) << "the longest that fits is taken";
    EXPECT_NE(wd.read("quorin.conf").find("server=" + longest.toStdString() + ":25555\n"), std::string::npos);
}

// Typed on the statistics window's page with the keyboard and applied with a
// click, as a user does.
TEST_F(UiConnectFinish, ApplyRefusesAZeroMinimumAndTakesASpeedEnteredWithReturn) {
    if (!ui_testing::run_on_x()) return;
    QrConnectForm& f = connected();
    StatForm& w = *f.statForm;
    w.ui.stat->setCurrentWidget(w.ui.subs);
    w.show();
    QStringList sent;
    QObject::connect(&f, &QrConnectForm::SpeedInChanged, [&](QString v) { sent << "in " + v; });
    QObject::connect(&f, &QrConnectForm::SpeedOutChanged, [&](QString v) { sent << "out " + v; });
    const auto retype = [&](QComboBox* box, const std::string& text) {
        return ui_testing::x_click(box->lineEdit()) && ui_testing::x_keys({"ctrl+a"}) && ui_testing::x_type(text);
    };

    ASSERT_TRUE(retype(w.ui.speed_in, "0:50000"));
    ASSERT_TRUE(wait_for([&] { return w.ui.apply_but->isEnabled(); }, 10));
    ASSERT_TRUE(ui_testing::x_click(w.ui.apply_but));
    ASSERT_TRUE(wait_for([&] { return !w.ui.apply_but->isEnabled(); }, 10));
    EXPECT_TRUE(sent.isEmpty());
    EXPECT_EQ(speed_pair_text(f.speed_in_min, f.speed_in_max), "2000:2000");
    ASSERT_EQ(script.count("message"), 1);
    EXPECT_EQ(script.questions[0].text,
              "These settings were not saved and keep their earlier values:\n"
              "Incoming speed \"0:50000\": a speed is a number above 0, or two such numbers joined by ':'; "
              "the highest at least 1000");
    EXPECT_EQ(w.ui.speed_in->currentText(), "Single") << "the speed in force is shown again";
    EXPECT_EQ(wd.read("quorin.conf").find("0:50000"), std::string::npos);

    // Return adds the typed speed as an item of its own, without data.
    ASSERT_TRUE(retype(w.ui.speed_out, "9000"));
    ASSERT_TRUE(ui_testing::x_keys({"Return"}));
    ASSERT_TRUE(wait_for([&] { return w.ui.speed_out->findText("9000") >= 0; }, 10));
    ASSERT_TRUE(ui_testing::x_click(w.ui.apply_but));
    ASSERT_TRUE(wait_for([&] { return !sent.isEmpty(); }, 10)) << "the typed speed was dropped";
    EXPECT_EQ(sent, QStringList{"out 9000"});
    EXPECT_EQ(speed_pair_text(f.speed_out_min, f.speed_out_max), "9000:9000");
    EXPECT_NE(wd.read("quorin.conf").find("speed_out=9000\n"), std::string::npos);
    EXPECT_EQ(script.count("message"), 1);
}

// The tray click: the connecting window goes, the statistics window comes
// and takes the keyboard.
TEST_F(UiConnectFinish, TrayClickClosesTheConnectingWindowAndActivates) {
    if (!ui_testing::run_on_x()) return;
    QrConnectForm& f = connected();
    f.splash->closeAllowed = true;
    f.splash->show();
    f.iconActivated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(wait_for([&] { return !f.splash->isVisible(); }, 10));
    EXPECT_TRUE(wait_for([&] { return QApplication::activeWindow() == f.statForm; }, 10));
    // The context menu's click activates a shown window.
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(wait_for([&] { return QApplication::activeWindow() == &other; }, 10));
    f.iconActivated(QSystemTrayIcon::Context);
    EXPECT_TRUE(wait_for([&] { return QApplication::activeWindow() == f.statForm; }, 10));
    f.iconActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(f.statForm->isVisible());
}

TEST_F(UiConnectFinish, TooltipAndAnimationFollowTheTraffic) {
    QrConnectForm& f = connected();
    f.SetIcon(100, 99999, 100000, 57.14f);
    EXPECT_TRUE(f.animating);
    EXPECT_TRUE(f.trayIcon->toolTip().startsWith("In: "));
    const int before = f.frame;
    f.animate_icon();
    EXPECT_EQ(f.frame, (before + 1) % 30);
    f.SetIcon(0, 0, 0, 0);
    EXPECT_FALSE(f.animating);
    f.animate_icon();
    EXPECT_EQ(f.frame, (before + 1) % 30) << "idle: no frame advances";
}

}  // namespace
