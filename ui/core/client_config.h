// The account's connection settings from the account web service
// ("client.csv"): the request and the three-part answer.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// What the connecting window hands to the connect dialog.
struct ClientConfigReply {
    bool configValid = false;
    int port = 0;         // the engine's local UDP port; 0 when not a number
    QString satIp;        // "0" for none
    int clientNumber = 0; // gives the TAP address
};

// Answers longer than this are refused.
constexpr int client_config_max_chars = 39;

// "SATIP::PORT::CLIENT": exactly three parts, at most 39 characters, SATIP
// empty, "0" or a dotted IPv4 address. out is filled only for a valid
// answer.
bool parse_client_config(const QString& answer, ClientConfigReply* out);
// The body as the answer text: cut at its first zero byte, Latin-1.
QString client_config_body_text(const QByteArray& body);
// 10.0.(n / 254).(n % 254 + 1)
QString tap_address_for_client(int client_number);

// The account web service's host (and port), the deployment's own unless
// QUORIN_ACCOUNT_HOST names another (a test setting: tests and the demo
// point it at a service on loopback).
QString account_host();
// The host of the account web page named in the manual-entry text.
QString account_page_host();
// http://HOST/PATH?login=LOGIN&md=MD with both values percent-encoded.
QUrl account_request_url(const QString& path, const QString& login, const QString& md);
