#include "client/servertrust.h"

#include "net/tls.h"

namespace client {

ServerTrust::Decision ServerTrust::check(const std::string &host, int port, const std::string &fingerprint)
{
    const std::optional<Pin> pin = m_pins.find(host, port);
    if (!pin) {
        if (fingerprint.empty())
            return {Verdict::Trusted, {}};
        m_pins.pin(host, port, fingerprint);
        return {Verdict::FirstUse, {}};
    }
    if (fingerprint.empty())
        return {Verdict::Downgrade, pin->fingerprint};
    if (fingerprint != pin->fingerprint)
        return {Verdict::Changed, pin->fingerprint};
    if (!pin->seen) {
        // The key the announcement named, met for the first time.
        m_pins.pin(host, port, fingerprint);
        return {Verdict::FirstUse, pin->fingerprint};
    }
    return {Verdict::Trusted, pin->fingerprint};
}

void ServerTrust::accept(const std::string &host, int port, const std::string &fingerprint)
{
    if (fingerprint.empty())
        m_pins.forget(host, port);
    else
        m_pins.pin(host, port, fingerprint);
}

void ServerTrust::expect(const std::string &host, int port, const std::string &fingerprint)
{
    if (fingerprint.size() != kc::tls::FingerprintSize)
        return;
    const std::optional<Pin> pin = m_pins.find(host, port);
    if (pin && pin->seen)
        return;
    m_pins.pin(host, port, fingerprint, false);
}

QString trustWarningTitle()
{
    return QStringLiteral("Schlüssel geändert");
}

QString trustWarningText(const QString &server, const QString &oldShort, const QString &newShort)
{
    QString text;
    if (newShort.isEmpty())
        text = QStringLiteral("Der Server %1 hat bisher verschlüsselt und antwortet jetzt unverschlüsselt.\n\n"
                              "Bisheriger Fingerabdruck: %2\n"
                              "Jetzt: keine Verschlüsselung\n\n")
                   .arg(server, oldShort);
    else
        text = QStringLiteral("Der Server %1 zeigt einen anderen Schlüssel als bisher.\n\n"
                              "Bisheriger Fingerabdruck: %2\n"
                              "Neuer Fingerabdruck: %3\n\n")
                   .arg(server, oldShort, newShort);
    return text
         + QStringLiteral("Jemand könnte sich als dieser Server ausgeben. Bisher wurde nur die Anmeldung gesendet. "
                          "Fragen Sie den Betreiber des Servers, ob er den Schlüssel geändert hat, bevor Sie "
                          "weitermachen.");
}

QString trustCancelCaption()
{
    return QStringLiteral("Abbrechen");
}

QString trustAcceptCaption()
{
    return QStringLiteral("Neuen Schlüssel annehmen");
}

} // namespace client
