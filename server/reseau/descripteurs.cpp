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
    if (::getrlimit(RLIMIT_NOFILE, &limite) == 0 && limite.rlim_cur < limite.rlim_max) {
        limite.rlim_cur = limite.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limite);
    }
    return limiteDescripteurs();
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
