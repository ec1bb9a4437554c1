#!/usr/bin/env python3
"""Checks the server's layout from its #include lines, and fails with what is wrong:

- no module circle: a module is a header and its source (server/x/y.h and
  server/x/y.cpp); none may include, directly or round a circle, a module that
  includes it;
- each folder uses only the folders below it (USES, as docs/architecture.md draws them);
- the wire format uses nothing of either program, and no client folder uses the server.

Usage: scripts/include-cycles.py [SOURCE_DIR]   (run by CTest as include_cycles)
"""
import os
import re
import sys

# What each folder may include besides itself and Qt, Asio, SQLite, libpq.
USES = {
    "wire": [],
    "server/reseau": [],
    "server/mesures": [],
    "server/journal": ["server/mesures"],
    "server/banque": ["server/reseau", "server/mesures"],
    "server/protocole": ["wire", "server/reseau", "server/mesures", "server/journal", "server/banque"],
    "server/grappe": ["server/reseau", "server/mesures", "server/banque", "server/protocole"],
    "server/acces": ["server/reseau", "server/mesures", "server/journal", "server/banque", "server/protocole"],
    "server/service": ["wire", "server/reseau", "server/mesures", "server/journal", "server/banque",
                       "server/protocole", "server/grappe", "server/acces"],
    "server/surveillance": ["server/reseau", "server/mesures", "server/banque", "server/service"],
    "server/programme": ["server/reseau", "server/mesures", "server/journal", "server/banque", "server/protocole",
                         "server/grappe", "server/acces", "server/service", "server/surveillance"],
}
CLIENT = ["app", "window", "identity", "history", "conversation"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def sources(racine, dossiers):
    for dossier in dossiers:
        for chemin, _, fichiers in os.walk(os.path.join(racine, dossier)):
            for fichier in sorted(fichiers):
                if fichier.endswith((".h", ".cpp")):
                    complet = os.path.join(chemin, fichier)
                    yield os.path.relpath(complet, racine), complet


def inclusions(complet):
    with open(complet, encoding="utf-8") as texte:
        return INCLUDE.findall(texte.read())


def module_de(racine, chemin, complet):
    """A header and its source; a source without a header of its own (one
    class's code over several files) belongs to the header of its folder that
    it includes first."""
    module = os.path.splitext(chemin)[0]
    if chemin.endswith(".h") or os.path.exists(os.path.join(racine, module + ".h")):
        return module
    premiere = inclusions(complet)[:1]
    if premiere and os.path.dirname(premiere[0]) == os.path.dirname(chemin):
        return os.path.splitext(premiere[0])[0]
    return module


def dossier_de(chemin):
    for dossier in sorted(USES, key=len, reverse=True):
        if chemin.startswith(dossier + "/"):
            return dossier
    return chemin.split("/")[0]


def circles(graphe):
    """The strongly connected components of more than one module (Tarjan)."""
    rang, bas, pile, sur_pile, trouves = {}, {}, [], set(), []

    def visiter(depart):
        # Iterative, so that a long chain never meets the recursion limit.
        travail = [(depart, iter(sorted(graphe[depart])))]
        rang[depart] = bas[depart] = len(rang)
        pile.append(depart)
        sur_pile.add(depart)
        while travail:
            module, suivants = travail[-1]
            avance = False
            for suivant in suivants:
                if suivant not in rang:
                    rang[suivant] = bas[suivant] = len(rang)
                    pile.append(suivant)
                    sur_pile.add(suivant)
                    travail.append((suivant, iter(sorted(graphe[suivant]))))
                    avance = True
                    break
                if suivant in sur_pile:
                    bas[module] = min(bas[module], rang[suivant])
            if avance:
                continue
            travail.pop()
            if travail:
                parent = travail[-1][0]
                bas[parent] = min(bas[parent], bas[module])
            if bas[module] == rang[module]:
                composante = []
                while True:
                    membre = pile.pop()
                    sur_pile.discard(membre)
                    composante.append(membre)
                    if membre == module:
                        break
                if len(composante) > 1:
                    trouves.append(sorted(composante))

    for module in sorted(graphe):
        if module not in rang:
            visiter(module)
    return trouves


def main():
    racine = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    fautes = []
    graphe = {}
    for chemin, complet in sources(racine, ["server", "wire"]):
        module = module_de(racine, chemin, complet)
        graphe.setdefault(module, set())
        dossier = dossier_de(chemin)
        if dossier not in USES:
            fautes.append(f"{chemin}: in no known folder (add it to USES and docs/architecture.md)")
        for inclus in inclusions(complet):
            cible = os.path.splitext(inclus)[0]
            if cible != module and os.path.exists(os.path.join(racine, inclus)):
                graphe[module].add(cible)
            vers = dossier_de(inclus)
            if vers == dossier or "/" not in inclus:
                continue
            if vers in CLIENT or (vers in USES and vers not in USES.get(dossier, [])):
                fautes.append(f"{chemin}: {dossier}/ may not use {vers}/ ({inclus})")
    for module in list(graphe):
        graphe[module] = {cible for cible in graphe[module] if cible in graphe}
    for composante in circles(graphe):
        fautes.append("module circle: " + " <-> ".join(composante))
    for chemin, complet in sources(racine, CLIENT):
        for inclus in inclusions(complet):
            if inclus.startswith("server/"):
                fautes.append(f"{chemin}: the client may not use the server ({inclus})")

    for faute in fautes:
        print(faute)
    if fautes:
        return 1
    print(f"{len(graphe)} modules in server/ and wire/: no circle, every folder within its uses")
    return 0


if __name__ == "__main__":
    sys.exit(main())
