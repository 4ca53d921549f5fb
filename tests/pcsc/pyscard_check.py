#!/usr/bin/python3
"""APDUs through pcscd to the simulated readers the end-to-end test configures.

Usage: pyscard_check.py [--t1-apdus]. Prints one line per check; exits 1 at the
first answer that is not the expected one.
"""
import sys

from smartcard.System import readers
from smartcard.scard import SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1

OK = [0x90, 0x00]


def text(s):
    return list(s.encode())


def reader(name):
    for r in readers():
        if str(r).startswith(name):
            return r
    sys.exit("no reader %s among %s" % (name, readers()))


def check(what, got, expected):
    if got != expected:
        sys.exit("%s: got %s, expected %s" % (what, bytes(got).hex(" "), bytes(expected).hex(" ")))
    print("ok  %s" % what)


def exchange(connection, apdu):
    data, sw1, sw2 = connection.transmit(apdu)
    return data + [sw1, sw2]


def t0_card():
    c = reader("KDX T0").createConnection()
    c.connect(SCARD_PROTOCOL_T0)
    check("T=0 ATR", c.getATR(), [0x3B, 0x68, 0x00, 0x00] + text("KDX-CPU1"))
    fcp = [0x62, 0x0B, 0x82, 0x01, 0x01, 0x83, 0x02, 0x00, 0x01, 0x80, 0x02, 0x00, 0x22]
    check("T=0 SELECT with Le (61xx fetched by the driver)", exchange(c, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x00, 0x01, 0x00]), fcp + OK)
    check("T=0 READ BINARY Le 00 (6Cxx resent by the driver)", exchange(c, [0x00, 0xB0, 0x00, 0x00, 0x00]),
          text("Hello from the simulated CPU card.") + OK)
    check("T=0 UPDATE BINARY", exchange(c, [0x00, 0xD6, 0x00, 0x00, 0x02] + text("Je")), OK)
    check("T=0 READ BINARY after it", exchange(c, [0x00, 0xB0, 0x00, 0x00, 0x05]), text("Jello") + OK)
    c.disconnect()


def t1_card(apdus):
    c = reader("KDX T1").createConnection()
    c.connect(SCARD_PROTOCOL_T1)
    check("T=1 ATR", c.getATR(), [0x3B, 0x84, 0x81, 0x31, 0xFE, 0x45, 0x4B, 0x44, 0x58, 0x31, 0xE9])
    if apdus:
        # The card's T=1 application: EF 0102 holds the 16 bytes 00 to 0F.
        ef = list(range(16))
        check("T=1 SELECT of a file it lacks", exchange(c, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x0F, 0x0F, 0x00]), [0x6A, 0x82])
        check("T=1 SELECT", exchange(c, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x01, 0x02]), OK)
        check("T=1 READ BINARY", exchange(c, [0x00, 0xB0, 0x00, 0x00, 0x10]), ef + OK)
        check("T=1 READ BINARY Le 00 (the file ends first)", exchange(c, [0x00, 0xB0, 0x00, 0x00, 0x00]), ef + [0x62, 0x82])
        check("T=1 case 4 echo", exchange(c, [0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03, 0x00]), [0x01, 0x02, 0x03] + OK)
        check("T=1 other class", exchange(c, [0xA0, 0xB0, 0x00, 0x00, 0x01]), [0x6E, 0x00])
    else:
        print("--  T=1 APDUs not checked: the Tarsk library has no T=1 engine here")
    c.disconnect()


def sle4442_card():
    c = reader("KDX SLE4442").createConnection()
    c.connect()
    check("SLE4442 ATR", c.getATR(), [0x3B, 0x04, 0xA2, 0x13, 0x10, 0x91])
    check("SLE4442 READ BINARY", exchange(c, [0xFF, 0xB0, 0x00, 0x20, 0x10]), text("KDX SLE4442 card") + OK)
    check("SLE4442 UPDATE BINARY before VERIFY is not taken", exchange(c, [0xFF, 0xD6, 0x00, 0x40, 0x02] + text("Hi")), [0x69, 0x82])
    check("SLE4442 VERIFY", exchange(c, [0xFF, 0x20, 0x00, 0x00, 0x03, 0xFF, 0xFF, 0xFF]), OK)
    check("SLE4442 UPDATE BINARY", exchange(c, [0xFF, 0xD6, 0x00, 0x40, 0x02] + text("Hi")), OK)
    check("SLE4442 READ BINARY of it", exchange(c, [0xFF, 0xB0, 0x00, 0x40, 0x02]), text("Hi") + OK)
    c.disconnect()


def at1604_card():
    c = reader("KDX AT1604").createConnection()
    c.connect()
    check("AT1604 ATR starts with its fabrication code", c.getATR()[:4], [0x3B, 0x04, 0x16, 0x04])
    check("AT1604 READ BINARY of application zone 1", exchange(c, [0xFF, 0xB0, 0x00, 0x1B, 0x0B]), text("zone 1 text") + OK)
    check("AT1604 VERIFY of a wrong security code", exchange(c, [0xFF, 0x20, 0x00, 0x00, 0x02, 0x00, 0x00]), [0x63, 0xC7])
    check("AT1604 VERIFY of the security code", exchange(c, [0xFF, 0x20, 0x00, 0x00, 0x02, 0x16, 0x00]), OK)
    c.disconnect()


def main():
    t0_card()
    sle4442_card()
    at1604_card()
    t1_card("--t1-apdus" in sys.argv[1:])


main()
