#include "ui/core/client_config.h"

#include <QStringList>

#include <cstdlib>

#include "ui/core/settings_transfer.h"

namespace {

const char default_account_host[] = "account.quorin.example.invalid";

// "0" means no satellite path.
bool sat_ip_answer_valid(const QString& part) { return part.isEmpty() || part == "0" || is_dotted_ipv4(part); }

int number_or_zero(const QString& s) {
    bool ok = false;
    const int n = s.toInt(&ok, 10);
    return ok ? n : 0;
}

}  // namespace

bool parse_client_config(const QString& answer, ClientConfigReply* out) {
    if (answer.size() > client_config_max_chars) return false;
    const QStringList parts = answer.split("::", Qt::KeepEmptyParts, Qt::CaseSensitive);
    if (parts.size() != 3) return false;
    // Part 1 goes into quorin.conf and Subscriptions.ini as it stands.
    if (!sat_ip_answer_valid(parts[0])) return false;
    out->configValid = true;
    out->satIp = parts[0];
    out->port = number_or_zero(parts[1]);
    out->clientNumber = number_or_zero(parts[2]);
    return true;
}

QString client_config_body_text(const QByteArray& body) {
    const int zero = body.indexOf('\0');
    return QString::fromLatin1(zero < 0 ? body : body.left(zero));
}

QString tap_address_for_client(int n) {
    return "10.0." + QString::number(n / 254) + "." + QString::number(n % 254 + 1);
}

QString account_host() {
    const char* host = std::getenv("QUORIN_ACCOUNT_HOST");
    return host && *host ? QString::fromLocal8Bit(host) : QString(default_account_host);
}

QString account_page_host() { return account_host(); }

QUrl account_request_url(const QString& path, const QString& login, const QString& md) {
    const QString query = "login=" + QString::fromLatin1(QUrl::toPercentEncoding(login)) +
                          "&md=" + QString::fromLatin1(QUrl::toPercentEncoding(md));
    QUrl url("http://" + account_host() + path, QUrl::TolerantMode);
    url.setQuery(query, QUrl::StrictMode);
    return url;
}
