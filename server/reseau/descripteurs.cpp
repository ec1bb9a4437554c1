#include "server/reseau/descripteurs.h"

#include <QDir>

#include <climits>
#include <sys/resource.h>

namespace {

int enEntier(rlim_t valeur)
{
    return valeur == RLIM_INFINITY || valeur > rlim_t(INT_MAX) ? INT_MAX : int(valeur);
}

} // namespace

int relacherLimiteDescripteurs()
{
    rlimit limite{};
    if (::getrlimit(RLIMIT_NOFILE, &limite) != 0)
        return 1024;
    if (limite.rlim_cur < limite.rlim_max) {
        rlimit relachee = limite;
        relachee.rlim_cur = limite.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &relachee) == 0)
            limite = relachee;
    }
    return enEntier(limite.rlim_cur);
}

int limiteDescripteurs()
{
    rlimit limite{};
    if (::getrlimit(RLIMIT_NOFILE, &limite) != 0)
        return 1024;
    return enEntier(limite.rlim_cur);
}

int descripteursOuverts()
{
    // Less the descriptor that reads the folder.
    return qMax(0, int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size()) - 1);
}
