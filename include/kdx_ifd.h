/*
 * kdx_ifd.h - the PC/SC IFD handler libkdx_ifd.so: what its functions (the
 * IFDH functions of pcsc-lite's driver interface, version 3, declared by
 * pcsc-lite's ifdhandler.h) do for the two readers and the simulator.
 *
 * Lun: bits 16 and up name the reader (a channel, up to 16 open at once),
 * bits 0 to 15 the slot; every reader has one slot, so another slot number
 * gives IFD_COMMUNICATION_ERROR. Each channel loads its own instance of the
 * library it needs (each library keeps one session per process), so
 * channels run independently and at the same time; calls on one channel
 * are serialised by a lock of the channel. Every failure is logged through
 * pcscd's debug output (standard error outside pcscd).
 *
 * IFDHCreateChannelByName(Lun, DeviceName)
 *   DeviceName  "velmor:PORT" or "tarsk:PORT" (PORT an absolute device
 *               path), or "sim:velmor?card=NAME" / "sim:tarsk?card=NAME" for
 *               the embedded simulator on a virtual clock (':' may stand for
 *               '?'); at most 255 characters, printable ASCII.
 *   IFD_SUCCESS with the reader's session open (Velmor: its version
 *   command answered; Tarsk: the DSR/DTR device test passed);
 *   IFD_NO_SUCH_DEVICE for a malformed name, an unknown sample card or a
 *   port that does not open; IFD_COMMUNICATION_ERROR when no reader answers
 *   on the port, the Lun is in use or 16 channels are open.
 *
 * IFDHCreateChannel(Lun, Channel)
 *   Channel 0x0103F8, 0x0102F8, 0x0103E8, 0x0102E8 (/dev/ttyS0 to 3) or a
 *   number n below 256 (/dev/ttyS<n>); the Velmor reader is tried first,
 *   then the serial-line device. Results as above.
 *
 * IFDHCloseChannel(Lun)
 *   Waits for a call in progress on the channel, powers the card down,
 *   closes the session. IFD_SUCCESS, or IFD_COMMUNICATION_ERROR for a Lun
 *   with no channel.
 *
 * IFDHPowerICC(Lun, Action, Atr, AtrLength)
 *   IFD_POWER_UP, IFD_RESET (warm reset; a memory card is powered afresh),
 *   IFD_POWER_DOWN. The ATR (at most MAX_ATR_SIZE bytes) goes to Atr and its
 *   length to *AtrLength; *AtrLength on entry is the room in Atr, and an ATR
 *   that does not fit gives IFD_ERROR_INSUFFICIENT_BUFFER with length 0.
 *   Velmor: a CPU card (T=0) or a memory card, whose ATR is 3B 04 and its
 *   own four bytes. IFD_ICC_NOT_PRESENT for an empty slot,
 *   IFD_ERROR_POWER_ACTION for a card that answers as neither,
 *   IFD_NOT_SUPPORTED for another action.
 *
 * IFDHSetProtocolParameters(Lun, Protocol, Flags, PTS1, PTS2, PTS3)
 *   SCARD_PROTOCOL_T0 or _T1. Tarsk: PPS with PTS1's factors when Flags
 *   has IFD_NEGOTIATE_PTS1, else with the default factors when the card
 *   runs another protocol now; IFD_ERROR_PTS_FAILURE when the card refuses.
 *   Velmor: T=0 only, at the card's default rate (PTS1 is not negotiated).
 *   IFD_PROTOCOL_NOT_SUPPORTED for a protocol the card or reader lacks.
 *
 * IFDHTransmitToICC(Lun, SendPci, TxBuffer, TxLength, RxBuffer, RxLength, RecvPci)
 *   One short APDU (4 to 261 bytes; extended lengths are not carried). T=1
 *   through the library's T=1 engine; T=0 mapped on TPDUs by the handler
 *   (case 4 without Le, 61xx fetched with GET RESPONSE, 6Cxx resent with
 *   the card's length). Memory cards: the pseudo-APDUs FF B0 (READ BINARY),
 *   FF D6 (UPDATE BINARY), FF 20 (VERIFY), answered with ISO status words.
 *   *RxLength on entry is the room in RxBuffer: a longer response gives
 *   IFD_ERROR_INSUFFICIENT_BUFFER and nothing is written. On any failure
 *   *RxLength is 0. IFD_ICC_NOT_PRESENT when the card was pulled (also in
 *   the middle of the exchange), IFD_COMMUNICATION_ERROR for a malformed
 *   APDU or a card that breaks the protocol. Bound: the libraries' own
 *   time-outs (a T=0 card on the Velmor reader: 4 s, plus 4 s per NULL
 *   byte), and at most 260 TPDUs for one APDU.
 *
 * IFDHICCPresence(Lun)
 *   IFD_ICC_PRESENT or IFD_ICC_NOT_PRESENT from the door switch (Velmor) or
 *   the presence line (Tarsk). While another call holds the channel, the
 *   last answer is given at once instead of waiting.
 *
 * IFDHGetCapabilities(Lun, Tag, Length, Value)
 *   TAG_IFD_ATR and SCARD_ATTR_ATR_STRING (empty while unpowered),
 *   SCARD_ATTR_ICC_PRESENCE (0 or 2), SCARD_ATTR_ICC_INTERFACE_STATUS,
 *   SCARD_ATTR_CURRENT_PROTOCOL_TYPE (4 bytes), TAG_IFD_SLOTS_NUMBER (1),
 *   TAG_IFD_SIMULTANEOUS_ACCESS (16), TAG_IFD_THREAD_SAFE (1),
 *   TAG_IFD_SLOT_THREAD_SAFE (0), SCARD_ATTR_VENDOR_NAME,
 *   SCARD_ATTR_VENDOR_IFD_VERSION. *Length is the room in Value on entry;
 *   IFD_ERROR_INSUFFICIENT_BUFFER when it is too small, IFD_ERROR_TAG for
 *   other tags.
 *
 * IFDHSetCapabilities: IFD_NOT_SUPPORTED.
 * IFDHControl: the readers have no PIN pad or display: the feature request
 *   (SCARD_CTL_CODE(3400)) answers with an empty list and IFD_SUCCESS,
 *   every other code with IFD_ERROR_NOT_SUPPORTED; *pdwBytesReturned is 0.
 */
#ifndef KDX_IFD_H
#define KDX_IFD_H

#ifdef __cplusplus
extern "C" {
#endif
#include <ifdhandler.h>
#include <reader.h>
#ifdef __cplusplus
}
#endif

#endif /* KDX_IFD_H */
