#!/usr/bin/env python3
"""Asks an X11 window to close, as a window manager's close button does.

Usage: fermer_fenetre.py WINDOW_ID   (DISPLAY names the server)

The test display runs no window manager, so nothing else can send the
WM_DELETE_WINDOW message that makes a toolkit close a window normally.
"""
import ctypes
import ctypes.util
import sys

CLIENT_MESSAGE = 33
NO_EVENT_MASK = 0


class ClientMessage(ctypes.Structure):
    _fields_ = [
        ("type", ctypes.c_int),
        ("serial", ctypes.c_ulong),
        ("send_event", ctypes.c_int),
        ("display", ctypes.c_void_p),
        ("window", ctypes.c_ulong),
        ("message_type", ctypes.c_ulong),
        ("format", ctypes.c_int),
        ("data", ctypes.c_long * 5),
    ]


class Event(ctypes.Union):
    # XEvent is padded to 24 longs whatever the member.
    _fields_ = [("client", ClientMessage), ("pad", ctypes.c_long * 24)]


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: fermer_fenetre.py WINDOW_ID")
    fenetre = int(sys.argv[1], 0)
    nom = ctypes.util.find_library("X11") or "libX11.so.6"
    x11 = ctypes.CDLL(nom)
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.POINTER(Event)]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    affichage = x11.XOpenDisplay(None)
    if not affichage:
        sys.exit("fermer_fenetre.py: cannot open the display")
    evenement = Event()
    message = evenement.client
    message.type = CLIENT_MESSAGE
    message.window = fenetre
    message.message_type = x11.XInternAtom(affichage, b"WM_PROTOCOLS", 0)
    message.format = 32
    message.data[0] = x11.XInternAtom(affichage, b"WM_DELETE_WINDOW", 0)
    message.data[1] = 0  # CurrentTime
    evenement.client = message
    envoye = x11.XSendEvent(affichage, fenetre, 0, NO_EVENT_MASK, ctypes.byref(evenement))
    x11.XSync(affichage, 0)
    x11.XCloseDisplay(affichage)
    if not envoye:
        sys.exit("fermer_fenetre.py: the message was not sent")


if __name__ == "__main__":
    main()
