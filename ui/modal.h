// Every modal question the interface asks goes through here, so that tests
// can answer it: message boxes, the text input of the connecting window,
// modal dialogs and the dial-up dialog.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

namespace modal {

using message_fn = QMessageBox::StandardButton (*)(QWidget* parent, QMessageBox::Icon icon, const QString& title,
                                                   const QString& text, QMessageBox::StandardButtons buttons,
                                                   QMessageBox::StandardButton default_button);
// True for Ok, with the typed text in *text.
using text_fn = bool (*)(QWidget* parent, const QString& title, const QString& label, QString* text);
using exec_fn = int (*)(QDialog* dialog);
// True when the link came up; *error is pppd's exit status otherwise.
using dial_fn = bool (*)(QWidget* parent, const QString& entry, int* error);

QMessageBox::StandardButton message(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton default_button);
bool get_text(QWidget* parent, const QString& title, const QString& label, QString* text);
int exec(QDialog* dialog);
bool dial(QWidget* parent, const QString& entry, int* error);
// Values that were not taken: one line each (the field, the value and the
// rule it broke) in one warning box. Nothing when there are none.
void tell_refused(QWidget* parent, const QStringList& lines);

// The boxes as message() shows them; also used to picture them.
QMessageBox* make_message_box(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                              QMessageBox::StandardButtons buttons, QMessageBox::StandardButton default_button);

struct hooks {
    message_fn message = nullptr;
    text_fn get_text = nullptr;
    exec_fn exec = nullptr;
    dial_fn dial = nullptr;
};
// Members left null use the real dialogs.
void set_hooks(const hooks& h);

}  // namespace modal
