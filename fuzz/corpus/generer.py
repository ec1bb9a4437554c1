#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into the folders beside this file.

Run from anywhere: python3 fuzz/corpus/generer.py. The draws are seeded, so the
files come out the same each time.
"""
import os
import random
import struct

ici = os.path.dirname(os.path.abspath(__file__))
hasard = random.Random(101)


def brouiller(texte):
    unites = []
    for caractere in texte:
        c = (0x7F - (ord(caractere) & 0xFF)) & 0xFF
        r = hasard.randrange(128)
        s = r + c
        unites += [0x7F - r, 0x4F - s // 100, 0x4F - s // 10 % 10, 0x4F - s % 10]
    return unites


def corps(unites):
    return struct.pack('>I', 2 * len(unites)) + b''.join(struct.pack('>H', u) for u in unites)


def trame(unites):
    contenu = corps(unites)
    return struct.pack('>H', len(contenu)) + contenu


def utf16_natif(unites):
    # The targets copy the input's bytes into UTF-16 units as they lie in memory.
    return b''.join(struct.pack('<H', u) for u in unites)


def ecrire(cible, nom, octets):
    dossier = os.path.join(ici, cible)
    os.makedirs(dossier, exist_ok=True)
    with open(os.path.join(dossier, nom), 'wb') as fichier:
        fichier.write(octets)


compte, autre, cle = '0A1B2C3D4E5F', '1F2E3D4C5B6A', '12345678901234567890'

# debrouiller: scrambled replies, the worked example, a cut-short group,
# digits with a sign or a blank, units above U+00FF.
ecrire('debrouiller', 'reponse-m', utf16_natif(brouiller('m:1500')))
ecrire('debrouiller', 'groupe-a', utf16_natif([0x3E, 0x4F, 0x46, 0x4A]))
ecrire('debrouiller', 'groupe-court', utf16_natif([0x3E, 0x4F, 0x46, 0x4A, 0x3E]))
ecrire('debrouiller', 'signe-et-blanc', utf16_natif([0x3E, 0x54, 0x4E, 0x4A, 0x3E, 0x5F, 0x4E, 0x4A]))
ecrire('debrouiller', 'unites-hautes', utf16_natif([0x13E, 0xFF4F, 0x46, 0x14A]))

# trame: a piece size, then a stream of frames of every kind of reply, an empty
# and a null text, a body that is not one string, and a frame cut short.
replies = ['m:1500', 'n:' + compte, 'r:250:' + autre, 's:' + autre + ':40', 'e:nobody', 'i:<b>news</b>', 'a:']
flot = b''.join(trame(brouiller(r)) for r in replies)
ecrire('trame', 'toutes-les-reponses', b'\x07' + flot)
ecrire('trame', 'vide-et-nul', b'\x00' + bytes.fromhex('000400000000' '0004ffffffff'))
ecrire('trame', 'corps-malforme', b'\x03' + bytes.fromhex('0006000000040041') + trame(brouiller('m:1')))
ecrire('trame', 'coupee', b'\x01' + trame(brouiller('r:1:' + autre))[:-3])

# requete: even first byte, a frame body as the client sends it; odd, a plain text.
for nom, requete in [('identifiants', 'c:%s:%s:vers101' % (compte, cle)),
                     ('virement', 'v:%s:%s:250:%s:vers101' % (compte, autre, cle)),
                     ('sans-version', 'c:%s:%s' % (compte, cle))]:
    ecrire('requete', nom + '-trame', b'\x00' + corps(brouiller(requete)))
    ecrire('requete', nom + '-texte', b'\x01' + utf16_natif([ord(c) for c in requete]))

# protocoleproxy: the headers that proxies send before a client's bytes, each
# form once, with a client's frame after some.
signature = bytes.fromhex('0d0a0d0a000d0a515549540a')


def proxy_v2(version_commande, famille, bloc):
    return signature + bytes([version_commande, famille]) + struct.pack('>H', len(bloc)) + bloc


frame_client = trame(brouiller('c:%s:%s:vers101' % (compte, cle)))
ipv4 = bytes.fromhex('7f000001' '0a000002' 'c350' 'c6c5')
ipv6 = bytes.fromhex('20010db8000000000000000000000001' '00000000000000000000000000000001' 'c350' 'c6c5')
ecrire('protocoleproxy', 'v1-tcp4', b'PROXY TCP4 192.168.0.1 192.168.0.11 56324 50885\r\n' + frame_client)
ecrire('protocoleproxy', 'v1-tcp6', b'PROXY TCP6 2001:db8::1 ::ffff:10.0.0.1 56324 50885\r\n')
ecrire('protocoleproxy', 'v1-unknown', b'PROXY UNKNOWN ffff::1 ffff::2 65535 65535\r\n')
ecrire('protocoleproxy', 'v2-tcp4-tlv', proxy_v2(0x21, 0x11, ipv4 + bytes.fromhex('04000300ff00' '050000')) + frame_client)
ecrire('protocoleproxy', 'v2-tcp6', proxy_v2(0x21, 0x21, ipv6))
ecrire('protocoleproxy', 'v2-local', proxy_v2(0x20, 0x00, b''))
ecrire('protocoleproxy', 'v2-unix', proxy_v2(0x21, 0x31, bytes(216)))
