#include "ui/modal.h"

#include <QCoreApplication>
#include <QDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>

#include "ui/dialdialog.h"

namespace modal {

namespace {

hooks& installed() {
    static hooks h;
    return h;
}

}  // namespace

QMessageBox* make_message_box(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                              QMessageBox::StandardButtons buttons, QMessageBox::StandardButton default_button) {
    QMessageBox* box = new QMessageBox(icon, title, text, buttons, parent);
    // Texts carry values from files, the phone-book and the network: never
    // let them render as markup.
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(default_button);
    return box;
}

QMessageBox::StandardButton message(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
                                    QMessageBox::StandardButtons buttons, QMessageBox::StandardButton default_button) {
    if (installed().message) return installed().message(parent, icon, title, text, buttons, default_button);
    QMessageBox* box = make_message_box(parent, icon, title, text, buttons, default_button);
    const int answer = box->exec();
    delete box;
    return QMessageBox::StandardButton(answer);
}

bool get_text(QWidget* parent, const QString& title, const QString& label, QString* text) {
    if (installed().get_text) return installed().get_text(parent, title, label, text);
    // The label can carry a web server's error text: never let it render as
    // markup. It is the input field's buddy, so a single '&' would mark a
    // shortcut and not be shown: doubled, it shows as itself.
    QInputDialog dialog(parent);
    dialog.setWindowTitle(title);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setLabelText(QString(label).replace('&', "&&"));
    for (QLabel* l : dialog.findChildren<QLabel*>()) l->setTextFormat(Qt::PlainText);
    const bool ok = dialog.exec() == QDialog::Accepted;
    *text = ok ? dialog.textValue() : QString();
    return ok;
}

int exec(QDialog* dialog) {
    if (installed().exec) return installed().exec(dialog);
    return dialog->exec();
}

bool dial(QWidget* parent, const QString& entry, int* error) {
    if (installed().dial) return installed().dial(parent, entry, error);
    return DialDialog::dial(parent, entry, error);
}

void tell_refused(QWidget* parent, const QStringList& lines) {
    if (lines.isEmpty()) return;
    const auto tr = [](const char* source) { return QCoreApplication::translate("QrSettingsForm", source); };
    message(parent, QMessageBox::Warning, tr("Warning"),
            tr("These settings were not saved and keep their earlier values:") + "\n" + lines.join("\n"),
            QMessageBox::Ok, QMessageBox::Ok);
}

void set_hooks(const hooks& h) { installed() = h; }

}  // namespace modal
