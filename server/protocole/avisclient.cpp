#include "server/protocole/avisclient.h"

#include "server/mesures/mesures.h"

QString avisBaseInjoignable()
{
    return QStringLiteral("i:The server cannot reach its database, please try again later");
}

QString avisVirementEchoue(const Banque::Constat &constat)
{
    compterVirementEchoue(constat.validationIncertaine ? "uncertain" : "failed");
    if (constat.validationIncertaine)
        return QStringLiteral("i:The server lost its database while recording this transfer and cannot tell whether "
                              "it was made, please check your balance before sending it again");
    if (constat.ecritureRefusee)
        return QStringLiteral("i:The server cannot record transfers for now, please try again later");
    return QStringLiteral("i:The transfer could not be recorded, please try again later");
}
