// The interface's own ini files: the per-login subscriptions, the window
// state of the statistics window and the read-only pick lists.
#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <QVector>

#include <cstdint>

#include "ui/core/connection_settings.h"

extern const char subscriptions_file[];   // "Subscriptions.ini"
extern const char interface_file[];       // "Interface.ini"
extern const char ui_lists_file[];        // "UI settings.ini"

// The service's main server, the load default of a subscription's server.
extern const char default_server_address[];

// Subscriptions.ini holds passwords: an existing file of this user loses
// group and other access at start (the settings class keeps a file's mode
// when it rewrites it); a new one is made 0600 by save_settings_file.
// Nothing else changes mode: not a device, FIFO or directory, nor a file
// of another user, also when Subscriptions.ini is a link to one.
void protect_subscriptions_file(const QString& path = subscriptions_file);

// Where a QSettings object may read and write the ini file at path: path
// itself when it names a regular file (through links) or nothing; else a
// missing file in a private scratch folder, so that the settings read as
// empty and never reach path. QSettings would open a FIFO and wait for a
// writer, or write its file over a device.
QString settings_location(const QString& path);

// Writes the pending changes of ini, opened at settings_location(path), to
// path. owner_only: a new file is made readable by its owner only before
// the settings go in. False, and why, when they did not all reach the file;
// the file then holds what it held before (none when there was none).
bool save_settings_file(QSettings& ini, const QString& path, bool owner_only, QString* why);

// The settings class writes its file by itself too, on the event loop after
// a change: from now on those writes of ini go through save_settings_file,
// and what fails goes to the debug output.
void guard_settings_writes(QSettings* ini, const QString& path, bool owner_only);

// The dial-up keys of a subscription.
extern const char key_dial_connection[];  // "DIAL/CONNECTION"
extern const char key_dial_hangup[];      // "DIAL/HANGUP"
extern const char key_dvb_enabled[];      // "DVB/Enabled"
extern const char key_dvb_satip[];        // "DVB/SATIP"

// Writes the dial-up keys and every Quorin/ key of the current group.
void write_subscription(QSettings& ini, const ConnectionSettings& s, const QString& dial_connection, bool dial_hangup);
// Loads the Quorin/ keys of the current group with their load defaults;
// tap holds only when libtun.so is there (s.tun_present).
void load_subscription(QSettings& ini, ConnectionSettings& s);
// The stored password, "" by default.
QString stored_password(QSettings& ini);
// The current group holds connection settings of its own (write_ini has
// stored them): a group with only dial-up or DVB keys holds none.
bool subscription_stored(QSettings& ini);

// Interface.ini keys, in the order the window state is restored.
extern const char key_ontop[];
extern const char key_pos[];
extern const char key_opacity[];
extern const char key_update_timeout[];
extern const char key_update_balance[];
extern const char key_page_index[];

// One entry of a "UI settings.ini" list: its first key's name and value.
// A child group without keys gives an empty label and no value.
struct UiListEntry {
    QString label;
    QVariant value;
};
extern const char list_server[];     // "server list"
extern const char list_speed_in[];   // "speed_in list"
extern const char list_speed_out[];  // "speed_out list"
extern const char list_port[];       // "port list"
QVector<UiListEntry> read_ui_list(QSettings& lists, const QString& group);
// The settings dialog's item text: label ( value ).
QString ui_list_item_text(const UiListEntry& e);

// A speed pair as the console and the lists write it: one number when the
// bounds are equal, else "min:max".
QString speed_text(uint32_t min, uint32_t max);
// "min:max" always.
QString speed_pair_text(uint32_t min, uint32_t max);
// A menu entry's data names the pair in force when it is min:max, or the
// single number of equal bounds.
bool speed_matches(const QString& data, uint32_t min, uint32_t max);
// Splits at the first ':' when it is not the first character; otherwise
// both bounds are the whole text. Text that is not a number gives 0.
void split_speed(const QString& value, uint32_t* min, uint32_t* max);
