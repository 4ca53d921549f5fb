/*
 * tarsk_apdu.h - extension of Tarsk: the APDU exchange with an explicit
 * response capacity. Include after tarsk.h.
 *
 * CPU_IsoAPDU writes as many response bytes as the card sends, up to its
 * documented bound (65,538 bytes, 2 x 65,538 + 1 characters in string mode
 * 1), so its caller must provide that much room. CPU_IsoAPDUEx takes the
 * room the caller has instead and never writes past it.
 */
#ifndef TARSK_APDU_H
#define TARSK_APDU_H

#include "kdx_common.h"

KDX_EXTERN_C_BEGIN

#ifndef KDX_BOTH_LIBRARIES

/* Exactly CPU_IsoAPDU (see tarsk.h), with the response buffer's size given.
 * command, command_length (32-bit byte count), response_length: as for
 * CPU_IsoAPDU. capacity (32-bit): bytes of storage at response. String mode
 * 0: at most min(capacity, 65538) response bytes. String mode 1: at most
 * min((capacity - 1) / 2, 65538) response bytes, written as 2 characters
 * each plus a zero byte; a capacity of 0 in string mode 1 has room for
 * nothing. A response that does not fit ends the exchange with
 * ST_BAD_RESPONSE (the card is then resynchronised, as after any failure
 * that may leave it out of step); response_length holds the bytes written.
 * ST_BAD_PARAMETER for a NULL command, response or response_length. */
KDX_API StatusCode KDX_CALL CPU_IsoAPDUEx(uint8_t* command, uint32_t command_length, uint8_t* response,
                                         uint32_t capacity, uint32_t* response_length);

#endif /* KDX_BOTH_LIBRARIES */

KDX_EXTERN_C_END

#endif /* TARSK_APDU_H */
