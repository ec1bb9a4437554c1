#include "server/grappe/grappe.h"

#include "server/grappe/presencepostgres.h"
#include "server/grappe/veillecredits.h"

#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>

namespace {

bool estAdressePostgres(const QString &adresse)
{
    if (!adresse.contains(QLatin1String("://")))
        return false;
    const QString schema = QUrl(adresse).scheme();
    return schema == QLatin1String("postgresql") || schema == QLatin1String("postgres");
}

} // namespace

std::unique_ptr<Grappe> creerGrappe(asio::io_context &contexte, const QString &adresse, const QString &origine)
{
    if (estAdressePostgres(adresse))
        return std::make_unique<PresencePostgres>(contexte, adresse, origine);
    return std::make_unique<VeilleCredits>(contexte, adresse);
}

QString nouvelleOrigine()
{
    return QStringLiteral("qovi-server-%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
}

QString adresseAvecOrigine(const QString &adresse, const QString &origine)
{
    if (!estAdressePostgres(adresse))
        return adresse;
    QUrl url(adresse);
    QUrlQuery elements(url);
    elements.removeAllQueryItems(QStringLiteral("application_name"));
    elements.addQueryItem(QStringLiteral("application_name"), origine);
    url.setQuery(elements);
    return url.toString(QUrl::FullyEncoded);
}
