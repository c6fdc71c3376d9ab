#pragma once

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>

// One request the account service received, decoded: what a test checks to learn what the
// pages sent. Read from bytes that may stop anywhere, like the gateway's request heads.
struct AccountRequest
{
    using Items = QList<QPair<QString, QString>>;

    QString method;
    QString path; // percent-decoded, without the query
    Items query;  // decoded, in the order sent
    Items form;   // the decoded body when it is form-encoded, else empty
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The first value of that key; a null string when there is none.
    QString queryItem(const QString &key) const;
    QString formItem(const QString &key) const;
    // The first field of that name, compared without case; a null array when there is none.
    QByteArray header(const QByteArray &name) const;
    bool isFormEncoded() const;

    enum class Status { Incomplete, Ok, Bad };

    struct ParseResult
    {
        Status status = Status::Incomplete;
        int consumed = 0;           // head and body, when Ok
        bool wantsContinue = false; // Incomplete after a head with "Expect: 100-continue"
        QString error;              // when Bad
    };

    static constexpr int MaxBodySize = 64 * 1024;

    // Fills *request when the result is Ok.
    static ParseResult parse(const QByteArray &data, AccountRequest *request);
    // "a=1&b=x+y%21" as sent in a query string or a form-encoded body.
    static Items decodeItems(const QByteArray &encoded);
};

Q_DECLARE_METATYPE(AccountRequest)
