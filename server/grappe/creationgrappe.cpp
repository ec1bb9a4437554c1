#include "server/grappe/creationgrappe.h"

#include "server/banque/adressebase.h"
#include "server/grappe/presencepostgres.h"
#include "server/grappe/veillecredits.h"

std::unique_ptr<Grappe> creerGrappe(asio::io_context &contexte, const QString &adresse, const QString &origine)
{
    if (estAdressePostgres(adresse))
        return std::make_unique<PresencePostgres>(contexte, adresse, origine);
    return std::make_unique<VeilleCredits>(contexte, adresse);
}
